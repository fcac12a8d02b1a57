#include "session/line/line_stats.h"

namespace qel::session {

const char* StationStateName(StationState state) {
    switch (state) {
        case StationState::Up: return "up";
        case StationState::Down: return "down";
        case StationState::Probing: return "probing";
        case StationState::Absent: return "absent";
    }
    return "unknown";
}

const char* BlockCheckName(BlockCheck check) {
    switch (check) {
        case BlockCheck::Learning: return "learning";
        case BlockCheck::Shape: return "shape";
        case BlockCheck::Checksum: return "checksum";
        case BlockCheck::Unverified: return "unverified";
    }
    return "unknown";
}

void FrontEndStats::Connected() {
    std::lock_guard lock(mutex_);
    ++counts_.connected;
    ++counts_.connects;
}

void FrontEndStats::Disconnected() {
    std::lock_guard lock(mutex_);
    if (counts_.connected > 0) --counts_.connected;
}

void FrontEndStats::Refused() {
    std::lock_guard lock(mutex_);
    ++counts_.refused;
}

void FrontEndStats::Evicted() {
    std::lock_guard lock(mutex_);
    ++counts_.evicted;
}

void FrontEndStats::Request(unsigned function) {
    std::lock_guard lock(mutex_);
    ++counts_.requests[function];
}

void FrontEndStats::Exception(unsigned code) {
    std::lock_guard lock(mutex_);
    ++counts_.exceptions[code];
}

void FrontEndStats::Refusal(const std::string& reason) {
    std::lock_guard lock(mutex_);
    ++counts_.refusals[reason];
}

FrontEndStats::Snapshot FrontEndStats::Take() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

}  // namespace qel::session
