// The scan planner's view of a session: the driver's checks and station
// models through a QEL, and the line's character time for the planner's
// choice between a longer block and another exchange.
#pragma once

#include "qel_session.h"
#include "scan_plan.h"

namespace qelhost {

scanplan::LineSettings PlanLineOf(const LineOptions& line);
// Merged blocks (the planner's default) on this line.
scanplan::PlanOptions PlanOptionsFor(const LineOptions& line);
// The planner's driver callbacks through this session's QEL; the session
// must outlive what is planned with them.
scanplan::Driver PlanDriverOf(QelSession& session);

}  // namespace qelhost
