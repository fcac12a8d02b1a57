#include "session/driver/failure_kind.h"

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

}  // namespace qel::session
