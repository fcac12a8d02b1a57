#include "session/line_stats.h"

namespace qel::session {

const char* FailureKindKey(FailureKind kind) {
    switch (kind) {
        case FailureKind::None: return "none";
        case FailureKind::NoAnswer: return "no_answer";
        case FailureKind::ShortAnswer: return "short_answer";
        case FailureKind::Echo: return "echo_mismatch";
        case FailureKind::Nak: return "nak";
        case FailureKind::Malformed: return "malformed";
        case FailureKind::LineError: return "line_error";
        case FailureKind::Refused: return "refused";
        case FailureKind::Port: return "port";
        case FailureKind::Down: return "down";
        case FailureKind::Trailer: return "block_trailer";
    }
    return "unknown";
}

const char* FailureKindText(FailureKind kind) {
    switch (kind) {
        case FailureKind::None: return "none";
        case FailureKind::NoAnswer: return "no answer";
        case FailureKind::ShortAnswer: return "short answer";
        case FailureKind::Echo: return "echo mismatch";
        case FailureKind::Nak: return "Nak (refused by the controller)";
        case FailureKind::Malformed: return "malformed reply or checksum";
        case FailureKind::LineError: return "line error (parity, framing, overrun)";
        case FailureKind::Refused: return "refused by the driver";
        case FailureKind::Port: return "serial port failure";
        case FailureKind::Down: return "station down";
        case FailureKind::Trailer: return "block trailer broke the learned rule";
    }
    return "unknown";
}

const char* StationStateName(StationState state) {
    switch (state) {
        case StationState::Up: return "up";
        case StationState::Down: return "down";
        case StationState::Probing: return "probing";
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

FrontEndStats::Snapshot FrontEndStats::Take() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

}  // namespace qel::session
