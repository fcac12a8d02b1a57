// The driver's results: what every operation returns to the host and what
// every step of an exchange returns to the one that called it. The host
// sees them as int32_t (the ABI); inside the driver they are spelled only
// by these names. The serial port layer's raw codes (PORT_OK, PORT_SHORT,
// PORT_FAILED in serial/serial_port.h) are another vocabulary: they tell
// what the system did with a port, and the line turns them into these.
#pragma once

#include <cstdint>

namespace qel {

enum Result : std::int32_t {
    RESULT_DONE = 0,          // done; an Ack; an address accepted
    RESULT_REFUSED = 1,       // refused, rejected, or a wrong answer
    RESULT_LINE_FAILURE = 2,  // the port failed, or the answer did not all arrive
};

}  // namespace qel
