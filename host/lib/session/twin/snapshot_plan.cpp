#include "session/twin/snapshot_plan.h"

#include <array>

#include "plan/line_cost.h"

namespace qel::session {

namespace {

struct AreaSpan {
    std::uint32_t areaCode;
    std::uint32_t elements;  // stored numbers 0 .. elements - 1 are candidates
};

// The widest stored numbering of either model: TM and TP to 255, CT and CP
// to 102, DR to 999, SR to 223, IO to 1887 (written 2357), IR to 4055 (the
// FA-3's IM 1317). The check refuses the holes and what a model lacks.
constexpr std::array<AreaSpan, 8> kAreas = {{{AREA_TM, 256},
                                             {AREA_CT, 103},
                                             {AREA_DR, 1000},
                                             {AREA_CP, 103},
                                             {AREA_TP, 256},
                                             {AREA_IO, 1888},
                                             {AREA_IR, 4056},
                                             {AREA_SR, 224}}};

constexpr std::uint32_t kIrEnd = 2160;   // past IR 2697
constexpr std::uint32_t kImFirst = 3512;  // IM 640

constexpr std::array<std::uint32_t, 8> kAreaCodes = {AREA_TM, AREA_CT, AREA_DR, AREA_CP,
                                                     AREA_TP, AREA_IO, AREA_IR, AREA_SR};

}  // namespace

std::span<const std::uint32_t> SnapshotAreas() { return kAreaCodes; }

SnapshotPlan PlanSnapshot(std::span<const unsigned> stations, const plan::Driver& driver,
                          const plan::PlanOptions& options) {
    SnapshotPlan snapshot;
    std::vector<plan::GateRequest> gates;
    for (const unsigned station : stations) {
        for (const AreaSpan& area : kAreas) {
            for (std::uint32_t element = 0; element < area.elements; ++element) {
                // IM numbers below 640 are IR numbers by another name: the
                // check stores them as the IR element, read once as IR.
                if (area.areaCode == AREA_IR && element >= kIrEnd && element < kImFirst) continue;
                std::string gas = plan::ElementGas(station, area.areaCode, element);
                if (gas.empty()) continue;
                const std::int32_t type = plan::IsBitArea(area.areaCode) ? DATA_TYPE_BIT : DATA_TYPE_WORD;
                gates.push_back({std::move(gas), 1, type});
                snapshot.elements.push_back({station, area.areaCode, element});
            }
        }
    }
    snapshot.plan = plan::MakePlan(gates, driver, options);
    // The plan's selections are those of a steady round; a snapshot selects
    // each station once, the first one too.
    const double selectMs = plan::ExchangeMs(plan::SelectShape(), options.line);
    std::uint32_t last = STATION_COUNT;
    for (const plan::Transfer& transfer : snapshot.plan.transfers) {
        snapshot.predictedMs += transfer.exchangeMs;
        if (transfer.station != last) snapshot.predictedMs += selectMs;
        last = transfer.station;
    }
    return snapshot;
}

}  // namespace qel::session
