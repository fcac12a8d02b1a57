// The reads of a snapshot: every legal element of every readable area of
// each station, as the planner merges them into the fewest exchanges, and
// the line time the planner predicts for them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "plan/scan_plan.h"

namespace qel::session {

// An element of a station's memory in the driver's terms: the area code and
// the stored element number (GateDefinition's).
struct ElementKey {
    std::uint32_t station = 0;
    std::uint32_t areaCode = 0;
    std::uint32_t element = 0;
    friend auto operator<=>(const ElementKey&, const ElementKey&) = default;
};

// The areas a snapshot reads, in the order it reads them. WO is not among
// them: it is written only (on an FA-2 it is DR memory, read as DR).
std::span<const std::uint32_t> SnapshotAreas();

struct SnapshotPlan {
    plan::Plan plan;
    std::vector<ElementKey> elements;  // one per gate the plan was given (its GateSlot::gate)
    // The line time of the plan's exchanges once each, with each station
    // selected once: what one snapshot costs.
    double predictedMs = 0;
};

// Every candidate element of the areas of these stations, in stored
// numbering; the driver's gate check (through `driver`, on the station's
// model) leaves out those the model does not have.
SnapshotPlan PlanSnapshot(std::span<const unsigned> stations, const plan::Driver& driver,
                          const plan::PlanOptions& options);

}  // namespace qel::session
