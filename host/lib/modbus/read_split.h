// A Modbus read as the fewest driver reads: the scan planner merges the
// requested elements into the blocks the driver's block check admits and the
// line-time cost favours. Gate addresses in the numbering of the map.
#pragma once

#include <optional>
#include <vector>

#include "plan/scan_plan.h"
#include "session/gates/gate_address.h"
#include "session/driver/qel_session.h"
#include "session/gates/write_allow.h"

namespace qel::modbus {

// One driver read: a planner transfer whose gates are the requested
// elements (GateSlot::gate is the element's index in the request).
using DriverRead = plan::Transfer;

using session::GateCheck;

// The driver reads for `count` elements from `first` on, the written
// numbers counting up by one as Modbus addresses do, or nullopt when the
// driver's check refuses one of them.
std::optional<std::vector<DriverRead>> SplitRead(const plan::Driver& driver, const plan::PlanOptions& options,
                                                 const session::GateAddress& first, unsigned count, bool bits);

}  // namespace qel::modbus
