// A Modbus read as the fewest driver reads: the scan planner merges the
// requested elements into the blocks the driver's block check admits and the
// line-time cost favours. Gate addresses in the numbering of the map.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "session/qel_session.h"
#include "plan/scan_plan.h"
#include "session/write_allow.h"

namespace qel::modbus {

// One driver read: a planner transfer whose gates are the requested
// elements (GateSlot::gate is the element's index in the request).
using DriverRead = plan::Transfer;

using session::GateCheck;

// "001DR0010": a station, an area mnemonic, a written element number.
std::string GateAddress(unsigned station, const char* mnemonic, unsigned number);

using session::NextNumber;

// The driver reads for `count` elements from written number `first`, or
// nullopt when the driver's check refuses one of them.
std::optional<std::vector<DriverRead>> SplitRead(const plan::Driver& driver, const plan::PlanOptions& options,
                                                 unsigned station, const char* mnemonic, unsigned first,
                                                 unsigned count, bool bits);

}  // namespace qel::modbus
