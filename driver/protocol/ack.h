// The acknowledgement that answers SelectStation, the block read requests
// and the write frames.
//
// Ack, 4 characters: 'c', two characters not examined, CR.
// Nak, 5 characters: 'd', the error code character, two characters not
// examined, CR.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vuzorur.h"

namespace qel {

constexpr std::uint8_t ACK_CODE = 'c';
constexpr std::uint8_t NAK_CODE = 'd';
constexpr std::size_t ACK_LENGTH = 4;
constexpr std::size_t NAK_LENGTH = 5;

// Reads the controller's answer from the workspace's port (ReceiveAnswer)
// and judges it:
//   0 an Ack ('c' with CR in the fourth place);
//   1 a Nak, logged at LOG_INFO as "DAVEV:Nck message received.
//     Errorcode=%x " with the error code character's code; or a malformed
//     answer, logged at LOG_PROTOCOL ("DAVEV:Illegal Ack message: no CR.",
//     "DAVEV:Illegal Nak message: no CR." or "DAVEV:Illegal message received
//     for ACK/NACK.");
//     The port reporting a line error while the answer arrived is 1
//     too, without a log line;
//   2 the 4 characters, or the fifth of a Nak, did not all arrive; no log
//     line.
int ReadAck(DriverWorkspace& workspace);

}  // namespace qel
