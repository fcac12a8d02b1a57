// Runs a snapshot's plan through the line scheduler, one exchange at a
// time, and keeps what each read gave. A read that fails leaves its
// elements without a value and its area among the station's missing ones;
// the scheduler's station health stops a silent station from costing more
// than its first failures.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <vector>
#include <string>

#include "session/line/line_scheduler.h"
#include "session/twin/line_twin.h"
#include "session/twin/snapshot_plan.h"

namespace qel::session {

struct SnapshotProgress {
    std::size_t done = 0;   // exchanges finished, read or failed
    std::size_t total = 0;
    double leftMs = 0;      // the predicted line time of those still to run
};

struct SnapshotRun {
    // station -> model text ("FA2", "FA3") of the stations planned.
    std::map<unsigned, std::string> models;
    std::function<void(const SnapshotProgress&)> progress;  // after each exchange; may be empty
    std::function<bool()> stopped;                          // true: read no more; may be empty
};

// The turnaround of a station from the time each of its answered exchanges
// took beyond the line time the planner predicts for it: the median, in
// whole milliseconds, never below 0 (one exchange kind the prediction
// misjudges, or a late answer, does not sway it); none without exchanges.
std::optional<int> TurnaroundFrom(std::vector<double> extraMs);

LineTwin ReadSnapshot(LineScheduler& scheduler, const SnapshotPlan& plan, const SnapshotRun& run);

}  // namespace qel::session
