// Receiving the acknowledgement (protocol/ack.h) that answers SelectStation,
// the block read requests and the write frames.
#pragma once

#include "base/result.h"
#include "vuzorur.h"

namespace qel {

// Reads the controller's answer from the workspace's port (ReceiveAnswer):
// its 4 characters, then the fifth of a Nak, and judges it:
//   RESULT_DONE an Ack ('c' with CR in the fourth place);
//   RESULT_REFUSED a Nak, logged at LOG_INFO as "DAVEV:Nck message received.
//     Errorcode=%x " with the error code character's code; or a malformed
//     answer, logged at LOG_PROTOCOL ("DAVEV:Illegal Ack message: no CR.",
//     "DAVEV:Illegal Nak message: no CR." or "DAVEV:Illegal message received
//     for ACK/NACK.");
//     The port reporting a line error while the answer arrived is
//     RESULT_REFUSED too, without a log line;
//   RESULT_LINE_FAILURE the 4 characters, or the fifth of a Nak, did not
//     all arrive; no log line.
// The failure goes to `why` when one is given: FAILURE_NAK, FAILURE_MALFORMED,
// FAILURE_LINE_ERROR, or those of ReceiveAnswer (a Nak without its fifth
// character is FAILURE_SHORT_ANSWER).
Result ReadAck(DriverWorkspace& workspace, Failure* why = nullptr);

}  // namespace qel
