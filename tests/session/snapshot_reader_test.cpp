// A snapshot's reads through the line scheduler over a fake line: each value
// lands on its element, a station that does not answer leaves its areas
// missing and no value, the progress counts down to nothing left, and a stop
// sends nothing more.
#include <gtest/gtest.h>

#include "session/line/line_scheduler.h"
#include "session/twin/snapshot_reader.h"
#include "support/fake_line.h"
#include "support/plan_workspace.h"

namespace {

using namespace qel::session;
using namespace std::chrono_literals;
using testsupport::FakeLine;

SchedulerOptions Fast() {
    SchedulerOptions options;
    options.expected.set();
    options.attempts = 2;
    options.retryPause = 1ms;
    options.firstProbe = 10s;
    return options;
}

class SnapshotReader : public ::testing::Test {
protected:
    SnapshotReader() : workspace_(testsupport::PlanWorkspace()) {
        const unsigned stations[] = {1, 2};  // an FA-2 and an FA-3
        plan_ = PlanSnapshot(stations, qel::plan::DriverThrough(QelMain, &workspace_, 1), {});
        run_.models = {{1, "FA2"}, {2, "FA3"}};
    }
    DriverWorkspace workspace_;
    SnapshotPlan plan_;
    SnapshotRun run_;
};

TEST_F(SnapshotReader, ValuesLandOnTheirElementsAndASilentStationLeavesItsAreasMissing) {
    FakeLine line;  // reads give station * 100 + slot
    line.Set(2, FakeLine::Act::Silent);
    LineScheduler scheduler(line, Fast());
    scheduler.Start();
    std::vector<SnapshotProgress> progress;
    run_.progress = [&](const SnapshotProgress& p) { progress.push_back(p); };
    const LineTwin twin = ReadSnapshot(scheduler, plan_, run_);
    scheduler.Stop();

    ASSERT_EQ(twin.stations.size(), 2u);
    EXPECT_EQ(twin.stations[0].model, "FA2");
    EXPECT_TRUE(twin.stations[0].complete());
    EXPECT_EQ(twin.stations[0].turnaroundMs, std::optional<int>(0)) << "a fake line is faster than any prediction";
    EXPECT_FALSE(twin.stations[1].turnaroundMs);
    EXPECT_FALSE(twin.complete());
    std::size_t missing = 0;
    for (const auto& [area, count] : twin.stations[1].missing) missing += count;
    EXPECT_EQ(missing, 3476u);
    EXPECT_EQ(twin.stations[1].missing.size(), SnapshotAreas().size());

    EXPECT_EQ(twin.values.size(), 1646u) << "every element of station 1, none of station 2";
    const std::pair<ElementKey, std::uint16_t> expected[] = {
        {{1, AREA_TM, 5}, 101},   // a word read alone: slot 1
        {{1, AREA_DR, 5}, 105},   // the sixth word of the first DR block
        {{1, AREA_DR, 105}, 105}, // the sixth of the second
        {{1, AREA_IO, 9}, 101},   // the second bit of the second byte, a block of 8 from IO 10
    };
    for (const auto& [key, value] : expected) {
        ASSERT_TRUE(twin.values.count(key)) << key.areaCode << " " << key.element;
        EXPECT_EQ(twin.values.at(key), value) << key.areaCode << " " << key.element;
    }
    for (const auto& [key, value] : twin.values) EXPECT_EQ(key.station, 1u);

    ASSERT_EQ(progress.size(), plan_.plan.transfers.size());
    for (std::size_t i = 0; i < progress.size(); ++i) EXPECT_EQ(progress[i].done, i + 1);
    EXPECT_EQ(progress.back().leftMs, 0.0);
    EXPECT_GT(progress.front().leftMs, progress[progress.size() / 2].leftMs);
}

TEST_F(SnapshotReader, AStopSendsNothingMore) {
    FakeLine line;
    LineScheduler scheduler(line, Fast());
    scheduler.Start();
    int asked = 0;
    run_.stopped = [&] { return ++asked > 3; };
    const LineTwin twin = ReadSnapshot(scheduler, plan_, run_);
    scheduler.Stop();
    EXPECT_EQ(line.Attempts(1) + line.Attempts(2), 3);
    EXPECT_FALSE(twin.complete());
}

}  // namespace
