// The line scheduler's counters: per station (requests, attempts, retries,
// failures by kind, answer times, state) and for the line (exchanges, busy
// time over the last minute and in all, queue depth, port reopens), and the
// LineSnapshot made of them. Not thread-safe: the scheduler holds its lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "session/line/attempt_runner.h"
#include "session/line/line_decider.h"
#include "session/line/line_request.h"
#include "session/line/line_stats.h"
#include "session/line/scheduler_options.h"
#include "vuzorur.h"

namespace qel::session {

class LineCounters {
public:
    // Each station's model as the runner tells it now.
    explicit LineCounters(const AttemptRunner& runner);

    // A request queued for this station.
    void Requested(unsigned station);
    void QueueDepth(std::size_t depth);
    // One attempt or probe (exchange nullptr) on the station, after the decider took it.
    void Attempted(unsigned station, const LineExchange* exchange, const AttemptOutcome& outcome);
    // A finished request: those failed at once (station down, port closed) count here.
    void Finished(const LineRequest& request);
    // The station's state as the decider has it; the state before when it changed.
    std::optional<StationState> State(unsigned station, StationState state);
    // The port reopened, or a reopening failed.
    void Reopened(bool open);
    void PortOpen(bool open);
    // What a probe found the station answers as, and the advice about it.
    void Note(unsigned station, const std::string& answersAs, const std::string& advice);

    // The stations seen (queued for or tried), with the decider's answer
    // times and the runner's block checks.
    LineSnapshot Snapshot(const LineDecider& decider, const AttemptRunner& runner,
                          SchedulerClock::time_point now) const;

private:
    // The last minute, second by second: busy time and exchanges.
    struct Second {
        long long index = -1;
        double busy = 0;
        std::uint32_t exchanges = 0;
    };
    Second& SecondOf(SchedulerClock::time_point now);

    std::array<StationStats, STATION_COUNT> stations_{};
    std::array<bool, STATION_COUNT> seen_{};
    std::array<Second, 60> minute_{};
    LineStats line_;
    SchedulerClock::time_point started_ = SchedulerClock::now();
};

}  // namespace qel::session
