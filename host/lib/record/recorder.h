// What a program that records keeps: the values its reads brought, made
// changes (change_filter.h) and appended to the recording (one transaction
// a call), the recording's end noted at most once a second while nothing
// changes. A disk that fails is an episode, as the broker's queue has them:
// the first failure and the recovery are a line of the log each, the
// changes of the failed writes are lost and counted, the reads go on. Thread-safe: the reads of several
// rounds (a poll list, a publish list) may arrive from their own threads.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "record/change.h"
#include "record/change_filter.h"
#include "record/recording_writer.h"

namespace qel::record {

struct RecorderCounts {
    std::uint64_t recorded = 0;  // changes appended since the start
    std::uint64_t lost = 0;      // changes a failing disk lost
    bool failing = false;        // the disk refuses changes now
    RecordingCounts file;
};

class Recorder {
public:
    explicit Recorder(RecordingWriter& writer) : writer_(writer) {}

    // The values of one round's good reads, read at `nowMillis`. Empty, or
    // a line for the log: a failing disk's first failure or its recovery.
    std::string Note(const std::vector<Change>& values, std::int64_t nowMillis);
    RecorderCounts Counts() const;

private:
    std::string Failed(const std::string& error, std::uint64_t lost);
    std::string Succeeded();

    RecordingWriter& writer_;
    mutable std::mutex mutex_;
    ChangeFilter filter_;
    bool failing_ = false;
    std::uint64_t lostInEpisode_ = 0;
    std::uint64_t lost_ = 0;
    std::int64_t lastMark_ = 0;
    std::uint64_t recorded_ = 0;
};

}  // namespace qel::record
