// The planner never changes what is read: over the simulator with random
// memory, a merged scan gives every gate the values of a scan that reads
// each gate on its own.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fasim.h"
#include "plan/scan_plan.h"
#include "support/host_records.h"
#include "support/log_capture.h"
#include "support/pty_pair.h"

namespace {

using qel::plan::GateRequest;
using Values = std::vector<std::vector<std::uint16_t>>;

Values Scan(const qel::plan::Plan& plan, std::size_t gateCount, DriverWorkspace& workspace) {
    Values values(gateCount);
    for (const auto& transfer : plan.transfers) {
        std::vector<std::uint16_t> slots(qel::plan::SlotCount(transfer), 0);
        GateTransfer record = qel::plan::ToGateTransfer(transfer, slots.data());
        QelRequest request{&workspace, qel::plan::ReadOperation(transfer), 1, 0, &record};
        EXPECT_EQ(QelMain(&request), 0) << transfer.gas << " count " << transfer.count;
        for (const auto& slot : transfer.gates) values[slot.gate] = qel::plan::GateValues(transfer, slot, slots);
    }
    return values;
}

TEST(SameValues, AMergedScanReadsWhatSingleReadsRead) {
    testsupport::LogCapture log;
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}, {2, fasim::Model::FA2}, {3, fasim::Model::FA3}};
    options.line.paced = false;
    fasim::Simulator sim(options);
    const std::string link = testsupport::ShortLinkPath();
    std::string error;
    ASSERT_TRUE(sim.StartPty(link, &error)) << error;

    std::mt19937 random(20240611);
    auto any = [&](unsigned below) { return static_cast<unsigned>(random() % below); };
    for (int station = 1; station <= 3; ++station) {
        for (unsigned e = 0; e < 400; ++e) sim.Set(station, "DR", e, static_cast<std::uint16_t>(random()));
        for (unsigned e = 0; e < 80; ++e) sim.Set(station, "TM", e, static_cast<std::uint16_t>(any(0x3FFF)));
        for (unsigned e = 0; e < 47; ++e) sim.Set(station, "CP", e, static_cast<std::uint16_t>(any(10000)));
        for (unsigned byte = 0; byte < 16; ++byte) {
            for (unsigned bit = 0; bit < 8; ++bit) {
                sim.Set(station, "IO", byte * 10 + bit, static_cast<std::uint16_t>(any(2)));
                sim.Set(station, "SR", byte * 8 + bit, static_cast<std::uint16_t>(any(2)));
            }
        }
    }
    for (unsigned written = 640; written < 800; ++written) {
        if (written % 10 < 8) sim.Set(3, "IM", written, static_cast<std::uint16_t>(any(2)));
    }

    // Gates of every kind the planner merges, at random places.
    std::vector<GateRequest> gates;
    auto add = [&](int station, const char* area, unsigned written, int count, bool bit) {
        char gas[16];
        std::snprintf(gas, sizeof gas, "%03d%s%04u", station, area, written);
        gates.push_back({gas, count, bit ? DATA_TYPE_BIT : DATA_TYPE_WORD});
    };
    for (int i = 0; i < 120; ++i) {
        const int station = 1 + static_cast<int>(any(3));
        const bool fa3 = station == 3;
        switch (any(7)) {
            case 0: add(station, "DR", any(120), 1, false); break;
            case 1: add(station, "DR", any(100), 2 + static_cast<int>(any(9)), false); break;
            case 2: add(station, "IO", any(16) * 10 + any(8), 1, true); break;
            case 3: add(station, "IO", any(15) * 10 + (fa3 ? 0 : any(8)), 8, true); break;
            case 4: add(station, "SR", any(128), 1, true); break;
            case 5: add(station, fa3 ? "IM" : "TM", fa3 ? 640 + any(15) * 10 + any(8) : any(80), 1, fa3); break;
            default: add(station, "CP", any(47), 1, false); break;
        }
    }

    DriverWorkspace workspace{};
    QelSetup setup = testsupport::SetupFor(link);
    QelRequest init{&workspace, QEL_INIT, 1, 0, &setup};
    ASSERT_EQ(QelMain(&init), 0);
    std::memcpy(workspace.stationModel[3], "FA3", 4);
    const auto driver = qel::plan::DriverThrough(QelMain, &workspace, 1);

    qel::plan::PlanOptions merged;
    qel::plan::PlanOptions single;
    single.merge = false;
    const auto mergedPlan = qel::plan::MakePlan(gates, driver, merged);
    const auto singlePlan = qel::plan::MakePlan(gates, driver, single);
    EXPECT_TRUE(mergedPlan.rejected.empty());
    EXPECT_EQ(singlePlan.transfers.size(), gates.size());
    EXPECT_LT(mergedPlan.transfers.size() * 3, singlePlan.transfers.size() * 2) << "the list has much to merge";

    const Values expected = Scan(singlePlan, gates.size(), workspace);
    const Values got = Scan(mergedPlan, gates.size(), workspace);
    for (std::size_t i = 0; i < gates.size(); ++i) {
        EXPECT_EQ(got[i], expected[i]) << gates[i].gas << " count " << gates[i].count;
    }
    QelRequest close{&workspace, QEL_CLOSE, 1, 0, nullptr};
    QelMain(&close);
}

}  // namespace
