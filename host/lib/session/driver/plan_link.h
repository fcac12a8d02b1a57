// The scan planner's view of a session: the driver's checks and station
// models through a QEL, and the line's character time for the planner's
// choice between a longer block and another exchange.
#pragma once

#include "session/driver/qel_session.h"
#include "plan/scan_plan.h"

namespace qel::session {

plan::LineSettings PlanLineOf(const LineOptions& line);
// Merged blocks (the planner's default) on this line.
plan::PlanOptions PlanOptionsFor(const LineOptions& line);
// The planner's driver callbacks through this session's QEL; the session
// must outlive what is planned with them.
plan::Driver PlanDriverOf(QelSession& session);

}  // namespace qel::session
