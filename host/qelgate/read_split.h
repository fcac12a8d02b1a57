// A Modbus read as the fewest driver reads: the scan planner merges the
// requested elements into the blocks the driver's block check admits and the
// line-time cost favours. Gate addresses in the numbering of the map.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "qel_session.h"
#include "scan_plan.h"

namespace qelgate {

// One driver read: a planner transfer whose gates are the requested
// elements (GateSlot::gate is the element's index in the request).
using DriverRead = scanplan::Transfer;

// The driver's single-gate check (QEL_CHECK_GATE, or QEL_CHECK_BLOCK for a
// count above 1): true when it accepts the gate and stored its definition.
using GateCheck = std::function<bool(qelhost::Gate&)>;

// "001DR0010": a station, an area mnemonic, a written element number.
std::string GateAddress(unsigned station, const char* mnemonic, unsigned number);

// The written number that follows n in its area: bit areas skip the bit
// digits 8 and 9 (IO 7 is followed by IO 10).
unsigned NextNumber(unsigned n, bool bits);

// The driver reads for `count` elements from written number `first`, or
// nullopt when the driver's check refuses one of them.
std::optional<std::vector<DriverRead>> SplitRead(const scanplan::Driver& driver, const scanplan::PlanOptions& options,
                                                 unsigned station, const char* mnemonic, unsigned first,
                                                 unsigned count, bool bits);

}  // namespace qelgate
