// The write transaction of QEL_WRITE, with the controllers' force mode.
#pragma once

#include <cstdint>

#include "base/result.h"
#include "vuzorur.h"

namespace qel {

// Writes slot 1 of the request's GateTransfer to its gate: the preset range
// check, the station selection, then the FA2 write, the FA3 write (header,
// Ack, data message, Ack), a ForceBit write while the station is in force
// mode, or the FORCE gate's handling. Five attempts. RESULT_DONE; RESULT_REFUSED refused
// or a wrong answer; RESULT_LINE_FAILURE a line failure.
std::int32_t WriteGate(const QelRequest* request);

// The four exchanges, one attempt each.
Result WriteFa2(DriverWorkspace& workspace, const GateTransfer& transfer, const char* gate);
Result WriteFa3(DriverWorkspace& workspace, const GateTransfer& transfer, const char* gate);
Result WriteForceBit(DriverWorkspace& workspace, const GateTransfer& transfer);
Result WriteForceGate(DriverWorkspace& workspace, const GateTransfer& transfer);

}  // namespace qel
