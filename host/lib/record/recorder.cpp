#include "record/recorder.h"

namespace qel::record {

namespace {

// How often the recording's end is noted while nothing changes: a replay's
// last pass is then at most this much short of the night it plays.
constexpr std::int64_t kMarkMillis = 1000;

}  // namespace

std::string Recorder::Failed(const std::string& error, std::uint64_t lost) {
    lost_ += lost;
    lostInEpisode_ += lost;
    if (failing_) return {};
    failing_ = true;
    return "the recording " + writer_.Path() + " takes no changes: " + error;
}

std::string Recorder::Succeeded() {
    if (!failing_) return {};
    failing_ = false;
    const std::uint64_t lost = lostInEpisode_;
    lostInEpisode_ = 0;
    return "the recording " + writer_.Path() + " takes changes again; " + std::to_string(lost) +
           (lost == 1 ? " change" : " changes") + " lost while it failed";
}

std::string Recorder::Note(const std::vector<Change>& values, std::int64_t nowMillis) {
    std::lock_guard lock(mutex_);
    const std::vector<Change> changes = filter_.Keep(values);
    std::string error;
    if (changes.empty()) {
        if (nowMillis - lastMark_ < kMarkMillis) return {};
        lastMark_ = nowMillis;
        if (!writer_.Mark(nowMillis, error)) return Failed(error, 0);
        return Succeeded();
    }
    if (!writer_.Append(changes, nowMillis, error)) {
        // Lost: and the filter must not take them for kept, or the values
        // would never be written once the disk has room again.
        filter_.Forget();
        return Failed(error, changes.size());
    }
    lastMark_ = nowMillis;
    recorded_ += changes.size();
    return Succeeded();
}

RecorderCounts Recorder::Counts() const {
    std::lock_guard lock(mutex_);
    return {recorded_, lost_, failing_, writer_.Counts()};
}

}  // namespace qel::record
