// The write transaction of QEL_WRITE, with the controllers' force mode.
#pragma once

#include <cstdint>

#include "base/result.h"
#include "base/station_kind.h"
#include "vuzorur.h"

namespace qel {

// Writes slot 1 of the request's GateTransfer to its gate: the preset range
// check, the station selection, then the FA2 write, the FA3 write (header,
// Ack, data message, Ack), a ForceBit write while the station is in force
// mode, or the FORCE gate's handling. Five attempts. RESULT_DONE; RESULT_REFUSED refused
// or a wrong answer; RESULT_LINE_FAILURE a line failure.
std::int32_t WriteGate(const QelRequest* request);

// The four exchanges, one attempt each; the failure goes to `why` when one
// is given.
Result WriteFa2(DriverWorkspace& workspace, const GateTransfer& transfer, const char* gate, Failure* why = nullptr);
Result WriteFa3(DriverWorkspace& workspace, const GateTransfer& transfer, const char* gate, Failure* why = nullptr);
Result WriteForceBit(DriverWorkspace& workspace, const GateTransfer& transfer, Failure* why = nullptr);
Result WriteForceGate(DriverWorkspace& workspace, const GateTransfer& transfer, Failure* why = nullptr);

// Why a write is refused before any traffic.
enum class WriteRefusal : std::uint8_t {
    None,
    Transfer,    // a station outside the table, or a count that is no single value and no block
    OutOfRange,  // a preset value above MAX_PRESET_VALUE
};
WriteRefusal WriteRefused(const GateTransfer& transfer);

// The write of one attempt, after the station selection: the exchange that
// fits the gate, the station's kind and its force mode. `gate` is the
// upper-cased address for messages.
Result WriteExchange(DriverWorkspace& workspace, const GateTransfer& transfer, StationKind kind, const char* gate,
                     Failure* why);

}  // namespace qel
