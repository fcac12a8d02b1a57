// Turns a Modbus request into driver exchanges, or into the exception to
// answer at once: the address map, the driver's gate checks, the write policy.
#pragma once

#include "job.h"
#include "write_allow.h"

namespace qelgate {

struct WritePolicy {
    bool allowWrites = false;          // read-only unless set
    const WriteAllowList* allow = nullptr;  // when set, only these gates
};

class RequestPlanner {
public:
    // check runs the driver's gate checks (on this thread only); model gives
    // a station's model text.
    RequestPlanner(GateCheck check, std::function<std::string(unsigned)> model, WritePolicy policy);
    // Fills job.reads or job.writes from job.modbus; returns 0, or the
    // Modbus exception to answer without going to the line.
    int Plan(Job& job) const;

private:
    GateCheck check_;
    std::function<std::string(unsigned)> model_;
    WritePolicy policy_;
};

}  // namespace qelgate
