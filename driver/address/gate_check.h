// Gate address checks: QEL_CHECK_GATE and QEL_CHECK_BLOCK turn a gate address
// string into the station, area code and element number the host keeps for
// its reads and writes.
//
// The checks work on the request's workspace and parameter block alone: they
// keep no state between calls and none outside the workspace, log nothing and
// touch no port. Checks on different QELs may therefore run at the same time;
// checks on one QEL share its gasScratch and must come one after the other.
#pragma once

#include <cstdint>

#include "base/result.h"
#include "vuzorur.h"

namespace qel {

// The handlers of QEL_CHECK_GATE (single) and QEL_CHECK_BLOCK (block).
std::int32_t CheckSingleGate(const QelRequest* request);
std::int32_t CheckBlockGate(const QelRequest* request);

// Whether a check serves a single gate or a block gate. In block mode the
// data type is not examined, a FORCE gate is refused, and the block rules of
// CheckBlockGate follow.
enum class CheckMode : std::uint8_t {
    SINGLE_GATE,
    BLOCK_GATE,
};

// The check shared by both operations: parses the GAS of the request's
// GateDefinition into its station, areaCode and element and validates them
// against the model of the station. RESULT_DONE accepted, RESULT_REFUSED rejected.
Result CheckGate(const QelRequest* request, CheckMode mode);

// The area, element and range rules of the two models, applied to the GAS
// that CheckGate has copied into the workspace's gasScratch. Store areaCode
// and element; true when the address is valid.
bool CheckAreaFa2(const QelRequest* request);
bool CheckAreaFa3(const QelRequest* request);

}  // namespace qel
