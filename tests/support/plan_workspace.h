// A driver workspace for planning over the driver's own gate checks, without
// a line: station 2 is an FA-3, every other station an FA-2.
#pragma once

#include <cstring>

#include "vuzorur.h"

namespace testsupport {

inline DriverWorkspace PlanWorkspace() {
    DriverWorkspace workspace{};
    for (auto& slot : workspace.stationModel) std::memcpy(slot, "FA2", 4);
    std::memcpy(workspace.stationModel[2], "FA3", 4);
    workspace.lastStation = NO_STATION;
    return workspace;
}

}  // namespace testsupport
