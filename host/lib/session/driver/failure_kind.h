// Why an attempt failed: the driver's failure kinds and the host's own.
#pragma once

namespace qel::session {

// Why an attempt failed, in the driver's words (vuzorur.h QEL_FAILURE_*),
// plus the host's own: a request answered at once because its station is
// down, and a block whose trailer broke the station's learned rule.
enum class FailureKind : int {
    None = 0,
    NoAnswer = 1,
    ShortAnswer = 2,
    Echo = 3,
    Nak = 4,
    Malformed = 5,
    LineError = 6,
    Refused = 7,
    Port = 8,
    Down = 9,
    Trailer = 10,
};
constexpr int kFailureKindCount = 11;

// "no_answer", "short_answer", ...: for metric labels and JSON keys.
const char* FailureKindKey(FailureKind kind);
// "no answer", "short answer", "echo mismatch", "Nak", ...: for people.
const char* FailureKindText(FailureKind kind);

}  // namespace qel::session
