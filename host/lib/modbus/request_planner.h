// Turns a Modbus request into driver exchanges, or into the exception to
// answer at once: the address map, the driver's gate checks, the write policy.
#pragma once

#include "modbus/job.h"
#include "session/gates/write_allow.h"

namespace qel::modbus {

using session::WriteAllowList;

struct WritePolicy {
    bool allowWrites = false;          // read-only unless set
    const WriteAllowList* allow = nullptr;  // when set, only these gates
};

class RequestPlanner {
public:
    // driver reaches the gate checks and station models for the scan
    // planner, check the single-gate check for writes; both run on the
    // server thread only.
    RequestPlanner(plan::Driver driver, GateCheck check, plan::PlanOptions plan, WritePolicy policy);
    // Fills job.reads or job.writes from job.modbus; returns 0, or the
    // Modbus exception to answer without going to the line.
    int Plan(Job& job) const;
    // A reload: the write policy from now on (on the server thread).
    void Reconfigure(WritePolicy policy) { policy_ = policy; }

private:
    plan::Driver driver_;
    GateCheck check_;
    plan::PlanOptions plan_;
    WritePolicy policy_;
};

}  // namespace qel::modbus
