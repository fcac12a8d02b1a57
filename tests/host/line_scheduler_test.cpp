// The line scheduler: its decisions under a scripted clock, then a station
// going silent and coming back over the simulator.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "session/driver_library.h"
#include "fasim.h"
#include "session/line_scheduler.h"
#include "support/pty_pair.h"

namespace {

using namespace qel::session;
using namespace std::chrono_literals;
using Kind = LineAction::Kind;

const SchedulerClock::time_point t0{std::chrono::hours(1)};

LineRequest Request(std::uint64_t client, unsigned station, std::size_t exchanges = 1) {
    LineRequest request;
    request.client = client;
    request.station = station;
    request.exchanges.resize(exchanges);
    return request;
}

const AttemptOutcome kOk{0, FailureKind::None, std::chrono::duration<double>(0.05)};
const AttemptOutcome kSilent{2, FailureKind::NoAnswer, std::chrono::duration<double>(0.1)};
const AttemptOutcome kNak{1, FailureKind::Nak, std::chrono::duration<double>(0.03)};

// One step of a script: at `at` after t0 the decider is asked, and the
// action is answered with `outcome` when it is an attempt or a probe.
struct Step {
    std::chrono::milliseconds at;
    Kind want;
    unsigned station;
    AttemptOutcome outcome;
};

void RunScript(LineDecider& decider, const std::vector<Step>& steps) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        const auto now = t0 + step.at;
        const LineAction action = decider.Next(now);
        ASSERT_EQ(action.kind, step.want) << "step " << i;
        if (action.kind == Kind::Attempt || action.kind == Kind::FailDown || action.kind == Kind::Probe) {
            ASSERT_EQ(action.station, step.station) << "step " << i;
        }
        if (action.kind == Kind::Attempt) decider.Attempted(*action.request, step.outcome, now);
        if (action.kind == Kind::Probe) decider.Probed(action.station, step.outcome, now);
        if (action.kind == Kind::FailDown) decider.FailedDown(*action.request, action.failure);
    }
}

TEST(LineDecider, ADeadStationsRetriesLeaveTheLineToTheOthers) {
    LineDecider decider{SchedulerOptions{}};
    LineRequest dead = Request(1, 9);
    LineRequest live1 = Request(2, 1), live2 = Request(2, 1), live3 = Request(2, 1);
    decider.Push(&dead, t0);
    decider.Push(&live1, t0);
    decider.Push(&live2, t0);
    decider.Push(&live3, t0);
    RunScript(decider, {
                           {0ms, Kind::Attempt, 9, kSilent},     // 1st attempt fails: 9 waits 600 ms
                           {100ms, Kind::Attempt, 1, kOk},       // others meanwhile
                           {150ms, Kind::Attempt, 1, kOk},
                           {200ms, Kind::Attempt, 1, kOk},
                           {250ms, Kind::Wait, 0, {}},           // nothing before 9's pause ends
                           {700ms, Kind::Attempt, 9, kSilent},
                           {1300ms, Kind::Attempt, 9, kSilent},
                           {1900ms, Kind::Attempt, 9, kSilent},
                           {2500ms, Kind::Attempt, 9, kSilent},  // the 5th: the request fails, 9 is down
                       });
    EXPECT_EQ(dead.result, 2);
    EXPECT_EQ(dead.failure, FailureKind::NoAnswer);
    EXPECT_EQ(dead.exchanges[0].attempts, 5);
    EXPECT_EQ(live3.result, 0);
    EXPECT_EQ(decider.Health(9).state, StationState::Down);
    EXPECT_EQ(decider.Depth(), 0u);
}

TEST(LineDecider, ADownStationIsAnsweredAtOnceAndProbedWithBackOff) {
    SchedulerOptions options;
    options.attempts = 1;
    LineDecider decider{options};
    LineRequest first = Request(1, 4), second = Request(1, 4), live = Request(2, 1), late = Request(1, 4);
    decider.Push(&first, t0);
    RunScript(decider, {{0ms, Kind::Attempt, 4, kSilent}});
    decider.Push(&second, t0 + 10ms);
    decider.Push(&live, t0 + 10ms);
    RunScript(decider, {
                           {10ms, Kind::FailDown, 4, {}},       // down: no line time
                           {10ms, Kind::Attempt, 1, kOk},
                           {500ms, Kind::Wait, 0, {}},          // the first probe is due after 1 s
                           {1000ms, Kind::Probe, 4, kSilent},   // then 2 s
                           {2500ms, Kind::Wait, 0, {}},
                           {3000ms, Kind::Probe, 4, kSilent},   // then 4 s
                           {6900ms, Kind::Wait, 0, {}},
                           {7000ms, Kind::Probe, 4, kNak},      // any answer: up at once
                       });
    EXPECT_EQ(second.failure, FailureKind::Down);
    EXPECT_EQ(decider.Health(4).state, StationState::Up);
    decider.Push(&late, t0 + 7100ms);
    RunScript(decider, {{7100ms, Kind::Attempt, 4, kOk}});
    EXPECT_EQ(late.result, 0);
}

TEST(LineDecider, AnOverdueProbeGoesAheadOfABusyQueue) {
    SchedulerOptions options;
    options.attempts = 1;
    LineDecider decider{options};
    LineRequest dead = Request(1, 4);
    decider.Push(&dead, t0);
    RunScript(decider, {{0ms, Kind::Attempt, 4, kSilent}});
    std::vector<LineRequest> busy(20, Request(2, 1));
    for (LineRequest& r : busy) decider.Push(&r, t0);
    RunScript(decider, {
                           {1000ms, Kind::Attempt, 1, kOk},  // due, but the line has work
                           {1400ms, Kind::Attempt, 1, kOk},
                           {1500ms, Kind::Probe, 4, kOk},    // 500 ms late: overdue
                       });
}

TEST(LineDecider, TimeOutsAreLearnedFromAStationsOwnAnswers) {
    SchedulerOptions options;
    options.timeout = 400ms;
    LineDecider decider{options};
    EXPECT_EQ(decider.TimeoutFor(1, t0), options.probeTimeout) << "no answer yet";
    struct Case {
        double answer;
        std::chrono::milliseconds want;
    } cases[] = {{0.05, 150ms}, {0.02, 150ms}, {0.1, 300ms}, {0.3, 400ms}};
    auto at = t0;
    for (const Case& c : cases) {
        LineRequest r = Request(1, 1);
        decider.Push(&r, at);
        const LineAction action = decider.Next(at);
        ASSERT_EQ(action.kind, Kind::Attempt);
        decider.Attempted(r, {0, FailureKind::None, std::chrono::duration<double>(c.answer)}, at);
        EXPECT_EQ(decider.TimeoutFor(1, at), c.want) << "after an answer of " << c.answer << " s";
    }
    EXPECT_EQ(decider.TimeoutFor(1, at + 61s), options.probeTimeout) << "no recent answer";
}

TEST(LineDecider, ClientsTakeTurnsAndANakIsNotDown) {
    LineDecider decider{SchedulerOptions{}};
    LineRequest a1 = Request(1, 1, 2), a2 = Request(1, 1), b1 = Request(2, 2);
    decider.Push(&a1, t0);
    decider.Push(&a2, t0);
    decider.Push(&b1, t0);
    RunScript(decider, {
                           {0ms, Kind::Attempt, 1, kOk},   // a1's first exchange
                           {0ms, Kind::Attempt, 2, kNak},  // b's turn
                           {0ms, Kind::Attempt, 1, kOk},   // a1's second
                           {0ms, Kind::Attempt, 1, kOk},   // a2: the client's order kept
                       });
    EXPECT_EQ(a1.result, 0);
    EXPECT_EQ(a1.done, 2u);
    EXPECT_EQ(a2.result, 0);
    EXPECT_EQ(b1.result, -1) << "the Nak is retried";
    EXPECT_EQ(decider.Health(2).state, StationState::Up);
}

TEST(LineDecider, AClientWithABacklogGoesAfterTheOthersUntilItsRequestHasWaited) {
    LineDecider decider{SchedulerOptions{}};
    std::vector<LineRequest> flood(6, Request(1, 1));
    for (LineRequest& r : flood) decider.Push(&r, t0);
    LineRequest first = Request(2, 2), second = Request(2, 2), late = Request(2, 2);
    decider.Push(&first, t0 + 10ms);
    RunScript(decider, {
                           {10ms, Kind::Attempt, 2, kOk},  // ahead of the six waiting before it
                           {60ms, Kind::Attempt, 1, kOk},  // nothing else waits: the backlog goes
                       });
    decider.Push(&second, t0 + 70ms);
    RunScript(decider, {{70ms, Kind::Attempt, 2, kOk}});
    // The backlog has had no turn for a second: it goes in its turn.
    decider.Push(&late, t0 + 1100ms);
    RunScript(decider, {{1100ms, Kind::Attempt, 1, kOk}, {1150ms, Kind::Attempt, 2, kOk}});
    EXPECT_EQ(late.result, 0);
}

TEST(LineDecider, EveryLiveStationFallingSilentReopensThePort) {
    SchedulerOptions options;
    options.attempts = 1;
    LineDecider decider{options};
    LineRequest ok = Request(1, 1), silent = Request(1, 1), waiting = Request(1, 2);
    decider.Push(&ok, t0);
    RunScript(decider, {{0ms, Kind::Attempt, 1, kOk}});
    decider.Push(&silent, t0);
    RunScript(decider, {{1000ms, Kind::Attempt, 1, kSilent}});
    EXPECT_FALSE(decider.PortOpen());
    RunScript(decider, {{1000ms, Kind::Reopen, 0, {}}});
    decider.Reopened(false, t0 + 1000ms);
    decider.Push(&waiting, t0 + 1100ms);
    RunScript(decider, {{1100ms, Kind::FailDown, 2, {}}, {1300ms, Kind::Wait, 0, {}}, {1500ms, Kind::Reopen, 0, {}}});
    EXPECT_EQ(waiting.failure, FailureKind::Port);
    decider.Reopened(true, t0 + 1500ms);
    EXPECT_TRUE(decider.PortOpen());
    RunScript(decider, {{1500ms, Kind::Probe, 1, kOk}});  // its station gets a chance at once
    EXPECT_EQ(decider.Health(1).state, StationState::Up);
}

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
        return request.failure;
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
    EXPECT_EQ(two.failures[static_cast<int>(FailureKind::NoAnswer)] >= 5, true);
    EXPECT_EQ(two.failures[static_cast<int>(FailureKind::Down)], 1u);
    EXPECT_GT(two.answerMedian, 0);
    EXPECT_GT(loops, 0);
    EXPECT_TRUE(scheduler.Stop().empty());
    session.Close();
}

}  // namespace
