// Turns a Modbus request into driver exchanges, or into the exception to
// answer at once: the address map, the driver's gate checks, the write policy.
#pragma once

#include "job.h"
#include "write_allow.h"

namespace qelgate {

using qelhost::WriteAllowList;

struct WritePolicy {
    bool allowWrites = false;          // read-only unless set
    const WriteAllowList* allow = nullptr;  // when set, only these gates
};

class RequestPlanner {
public:
    // driver reaches the gate checks and station models for the scan
    // planner, check the single-gate check for writes; both run on the
    // server thread only.
    RequestPlanner(scanplan::Driver driver, GateCheck check, scanplan::PlanOptions plan, WritePolicy policy);
    // Fills job.reads or job.writes from job.modbus; returns 0, or the
    // Modbus exception to answer without going to the line.
    int Plan(Job& job) const;

private:
    scanplan::Driver driver_;
    GateCheck check_;
    scanplan::PlanOptions plan_;
    WritePolicy policy_;
};

}  // namespace qelgate
