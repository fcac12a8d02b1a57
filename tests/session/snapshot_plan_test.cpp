// The reads of a snapshot over the driver's own gate checks: every legal
// element of each station's model once, none the model lacks, in blocks the
// driver admits, and a prediction that selects each station once.
#include <gtest/gtest.h>

#include <set>

#include "plan/line_cost.h"
#include "session/twin/snapshot_plan.h"
#include "support/plan_workspace.h"

namespace {

using namespace qel::session;

struct StationCase {
    unsigned station;
    std::size_t elements;  // every legal element of its model
};

TEST(SnapshotPlan, EveryLegalElementOfEachModelOnceInTheDriversBlocks) {
    DriverWorkspace workspace = testsupport::PlanWorkspace();  // station 2 FA-3, the others FA-2
    const qel::plan::Driver driver = qel::plan::DriverThrough(QelMain, &workspace, 1);
    const StationCase cases[] = {
        // FA-2: TM 80, CT 47, DR 400, CP 47, TP 80, IO 256, IR 240 + 128 + 240, SR 128.
        {1, 80 + 47 + 400 + 47 + 80 + 256 + 608 + 128},
        // FA-3: TM 256, CT 102, DR 1000, CP 102, TP 256, IO 512, IR 480 + IM 544, SR 224.
        {2, 256 + 102 + 1000 + 102 + 256 + 512 + 1024 + 224},
    };
    for (const StationCase& c : cases) {
        const unsigned stations[] = {c.station};
        const SnapshotPlan snapshot = PlanSnapshot(stations, driver, qel::plan::PlanOptions{});
        std::set<ElementKey> read;
        double exchanges = 0;
        for (const qel::plan::Transfer& transfer : snapshot.plan.transfers) {
            EXPECT_EQ(transfer.station, c.station);
            EXPECT_LE(transfer.count, 100) << transfer.gas;
            exchanges += transfer.exchangeMs;
            for (const qel::plan::GateSlot& slot : transfer.gates) {
                const ElementKey key = snapshot.elements.at(slot.gate);
                EXPECT_EQ(key.areaCode, transfer.areaCode) << transfer.gas;
                EXPECT_EQ(key.element, transfer.element + static_cast<std::uint32_t>(transfer.count == 1 ? 0 : slot.offset))
                    << transfer.gas;
                EXPECT_TRUE(read.insert(key).second) << "read twice: " << transfer.gas << " +" << slot.offset;
            }
        }
        EXPECT_EQ(read.size(), c.elements) << "station " << c.station;
        EXPECT_FALSE(read.count({c.station, AREA_CT, 47})) << "CT 47 is on neither model";
        const double select = qel::plan::ExchangeMs(qel::plan::SelectShape(), qel::plan::LineSettings{});
        EXPECT_NEAR(snapshot.predictedMs, exchanges + select, 1e-6);
    }
}

TEST(SnapshotPlan, TheFa3ReadsBlocksAndTheFa2ReadsWhatItsFramesAllow) {
    DriverWorkspace workspace = testsupport::PlanWorkspace();
    const qel::plan::Driver driver = qel::plan::DriverThrough(QelMain, &workspace, 1);
    const unsigned fa3[] = {2};
    const unsigned fa2[] = {1};
    // FA-3: every area in blocks of up to 100 elements (bits in bytes).
    EXPECT_LT(PlanSnapshot(fa3, driver, {}).plan.transfers.size(), 50u);
    // FA-2: only DR in blocks, bits eight at a time, the other words one by one.
    const SnapshotPlan two = PlanSnapshot(fa2, driver, {});
    std::size_t dr = 0;
    for (const qel::plan::Transfer& transfer : two.plan.transfers) dr += transfer.areaCode == AREA_DR;
    EXPECT_EQ(dr, 4u);
    EXPECT_EQ(two.plan.transfers.size(), 80u + 47 + 4 + 47 + 80 + 256 / 8 + 608 / 8 + 128 / 8);
}

TEST(SnapshotPlan, StationsAreReadInTurnEachSelectedOnce) {
    DriverWorkspace workspace = testsupport::PlanWorkspace();
    const qel::plan::Driver driver = qel::plan::DriverThrough(QelMain, &workspace, 1);
    const unsigned three[] = {1, 2, 3};
    const SnapshotPlan snapshot = PlanSnapshot(three, driver, {});
    std::vector<std::uint32_t> order;
    double exchanges = 0;
    for (const qel::plan::Transfer& transfer : snapshot.plan.transfers) {
        if (order.empty() || order.back() != transfer.station) order.push_back(transfer.station);
        exchanges += transfer.exchangeMs;
    }
    EXPECT_EQ(order, (std::vector<std::uint32_t>{1, 2, 3}));
    const double select = qel::plan::ExchangeMs(qel::plan::SelectShape(), qel::plan::LineSettings{});
    EXPECT_NEAR(snapshot.predictedMs, exchanges + 3 * select, 1e-6);
}

}  // namespace
