// The driver's results: what every operation returns to the host and what
// every step of an exchange returns to the one that called it. The host
// sees them as int32_t (the ABI); inside the driver they are spelled only
// by these names. The serial port layer's raw codes (PORT_OK, PORT_SHORT,
// PORT_FAILED in serial/serial_port.h) are another vocabulary: they tell
// what the system did with a port, and the line turns them into these.
#pragma once

#include <cstdint>

#include "vuzorur.h"

namespace qel {

enum Result : std::int32_t {
    RESULT_DONE = QEL_RESULT_DONE,                  // done; an Ack; an address accepted
    RESULT_REFUSED = QEL_RESULT_REFUSED,            // refused, rejected, or a wrong answer
    RESULT_LINE_FAILURE = QEL_RESULT_LINE_FAILURE,  // the port failed, or the answer did not all arrive
};

// Why an exchange failed, finer than its Result; the host sees it only
// through the one-attempt operations (QelAttempt.failure).
enum Failure : std::int32_t {
    FAILURE_NONE = QEL_FAILURE_NONE,
    FAILURE_NO_ANSWER = QEL_FAILURE_NO_ANSWER,
    FAILURE_SHORT_ANSWER = QEL_FAILURE_SHORT_ANSWER,
    FAILURE_ECHO = QEL_FAILURE_ECHO,
    FAILURE_NAK = QEL_FAILURE_NAK,
    FAILURE_MALFORMED = QEL_FAILURE_MALFORMED,
    FAILURE_LINE_ERROR = QEL_FAILURE_LINE_ERROR,
    FAILURE_REFUSED = QEL_FAILURE_REFUSED,
    FAILURE_PORT = QEL_FAILURE_PORT,
};

// Notes why a step failed, where the caller asked to know.
inline void Note(Failure* why, Failure failure) {
    if (why != nullptr) *why = failure;
}

}  // namespace qel
