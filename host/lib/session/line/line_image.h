// The live image of the line: the last good value of each element read, with
// the time its read began (the exchange's start: no value is younger than
// it says). A read whose every element has a value no older than the
// maximum age may be answered from it without line time (line_decider.h
// tells when). A write removes the elements it touches: the image holds a
// written value only after a read has brought it back. Not thread-safe: the
// scheduler holds its lock.
#pragma once

#include <cstdint>
#include <map>

#include "session/line/line_request.h"
#include "session/line/scheduler_options.h"
#include "vuzorur.h"

namespace qel::session {

class LineImage {
public:
    // The values of a read that succeeded, read at `at` or later.
    void Store(const LineExchange& read, SchedulerClock::time_point at);
    // The elements a write touches (exchange_cover.h Touches), or a read
    // that failed.
    void Forget(const GateTransfer& transfer);
    // Everything of a station (it stopped answering).
    void ForgetStation(unsigned station);
    // Fills the read's slots when every element has a value read no earlier
    // than `oldest`; then `readAt` is the time of its oldest value.
    bool Fill(LineExchange& read, SchedulerClock::time_point oldest, SchedulerClock::time_point& readAt) const;
    // Drops the values read before `oldest`.
    void Prune(SchedulerClock::time_point oldest);
    std::size_t Size() const { return values_.size(); }

private:
    struct Value {
        std::uint16_t value = 0;
        SchedulerClock::time_point at{};
    };
    // Station, area, data type and element in one ordered key: the elements
    // of one area of one station and one type lie together.
    static std::uint64_t Key(std::uint32_t station, std::uint32_t area, std::int32_t dataType, std::uint32_t element);
    std::map<std::uint64_t, Value> values_;
};

}  // namespace qel::session
