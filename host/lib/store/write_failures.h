// A store's failed writes (a full disk, an I/O error) as episodes: the
// first failure and the recovery are a line of the log each, however many
// writes fail between; what was lost is counted. Thread-safe: the writer
// notes, the diagnostics read.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace qel::store {

class WriteFailures {
public:
    // A write that failed with `error`, `lost` messages lost by it (kept
    // neither here nor elsewhere). The line for the log when this begins
    // an episode; empty while one goes on.
    std::string Failed(const std::string& what, const std::string& error, std::uint64_t lost);
    // Messages lost that a write of the store could not keep, counted, not an episode's line.
    void Lost(std::uint64_t lost);
    // A write that succeeded: the line for the log when it ends an episode, else empty.
    std::string Succeeded(const std::string& what);
    bool Failing() const;
    std::string Error() const;           // the episode's first error; empty when none
    std::uint64_t LostTotal() const;     // since the start

private:
    mutable std::mutex mutex_;
    bool failing_ = false;
    std::string error_;
    std::uint64_t lostTotal_ = 0;
    std::uint64_t lostInEpisode_ = 0;
};

}  // namespace qel::store
