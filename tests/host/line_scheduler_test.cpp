// The line scheduler over the simulator: a station going silent and coming
// back. (Its decisions: tests/session/line_decider_test.cpp.)
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "session/driver/driver_library.h"
#include "fasim.h"
#include "session/line/line_scheduler.h"
#include "support/pty_pair.h"

namespace {

using namespace qel::session;
using namespace std::chrono_literals;

// Over the simulator: station 2 falls silent, is seen down, comes back and
// is seen up again, while station 1 is served throughout.
TEST(LineScheduler, ASilentStationIsSeenDownThenUp) {
    fasim::Options simOptions;
    simOptions.stations = {{1, fasim::Model::FA2}, {2, fasim::Model::FA2}};
    simOptions.line.paced = false;
    fasim::Simulator sim(simOptions);
    const std::string link = testsupport::ShortLinkPath();
    std::string error;
    ASSERT_TRUE(sim.StartPty(link, &error)) << error;

    DriverLibrary driver;
    ASSERT_TRUE(driver.Load(VUZORUR_PATH, error)) << error;
    QelSession session(driver);
    LineOptions line;
    line.port = link;
    ASSERT_EQ(session.Init(line), DriverResult::Done);
    SchedulerOptions options;
    options.expected.set();  // every station named: one that never answered is down
    options.firstProbe = 200ms;
    options.downHold = 400ms;
    options.retryPause = 50ms;
    LineScheduler scheduler(session, options);
    int loops = 0;
    scheduler.onLoop = [&loops] { ++loops; };
    scheduler.Start();

    auto read = [&](unsigned station) {
        Gate gate;
        gate.gas = (station == 1 ? "001" : "002") + std::string("DR0000");
        EXPECT_EQ(session.Check(gate), DriverResult::Done);
        LineRequest request;
        request.station = station;
        request.exchanges.push_back(LineExchange::Read(gate));
        scheduler.Call(request);
        return request.failure();
    };
    EXPECT_EQ(read(2), FailureKind::None);
    sim.SetSilent(2, true);
    EXPECT_EQ(read(2), FailureKind::NoAnswer);
    EXPECT_TRUE(scheduler.StationDown(2));
    EXPECT_EQ(read(2), FailureKind::Down);
    EXPECT_EQ(read(1), FailureKind::None);
    sim.SetSilent(2, false);
    const auto deadline = SchedulerClock::now() + 5s;
    while (scheduler.StationDown(2) && SchedulerClock::now() < deadline) std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(scheduler.StationDown(2)) << "a probe brings it back";
    EXPECT_EQ(read(2), FailureKind::None);

    const LineSnapshot snapshot = scheduler.Snapshot();
    ASSERT_EQ(snapshot.stations.size(), 2u);
    const StationStats& two = snapshot.stations[1];
    EXPECT_EQ(two.state, StationState::Up);
    // It had answered: the silent read got one more attempt, not five (and the probes theirs).
    EXPECT_GE(two.failures[static_cast<int>(FailureKind::NoAnswer)], 2u);
    EXPECT_EQ(two.failures[static_cast<int>(FailureKind::Down)], 1u);
    EXPECT_GT(two.answerMedian, 0);
    EXPECT_GT(loops, 0);
    EXPECT_TRUE(scheduler.Stop().empty());
    session.Close();
}

}  // namespace
