// The line scheduler's decisions (LineDecider) under a scripted clock.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "decider_script.h"
#include "session/line/line_decider.h"
#include "session/report/log_limit.h"

namespace {

using namespace decider_script;

TEST(LineDecider, ADeadStationsRetriesLeaveTheLineToTheOthers) {
    LineDecider decider{Named()};
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
    EXPECT_EQ(dead.outcome, (Outcome{DriverResult::LineFailure, FailureKind::NoAnswer}));
    EXPECT_EQ(dead.exchanges[0].attempts, 5);
    EXPECT_EQ(live3.outcome, Outcome{});
    EXPECT_EQ(decider.Health(9).state, StationState::Down);
    EXPECT_EQ(decider.Depth(), 0u);
}

TEST(LineDecider, ADownStationIsAnsweredAtOnceAndProbedWithBackOff) {
    SchedulerOptions options = Named();
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
    EXPECT_EQ(second.outcome, (Outcome{DriverResult::LineFailure, FailureKind::Down}));
    EXPECT_EQ(decider.Health(4).state, StationState::Up);
    decider.Push(&late, t0 + 7100ms);
    RunScript(decider, {{7100ms, Kind::Attempt, 4, kOk}});
    EXPECT_EQ(late.outcome, Outcome{});
}

TEST(LineDecider, AnOverdueProbeGoesAheadOfABusyQueue) {
    SchedulerOptions options = Named();
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
    SchedulerOptions options = Named();
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
        decider.Attempted(r, {DriverResult::Done, FailureKind::None, std::chrono::duration<double>(c.answer)}, at);
        EXPECT_EQ(decider.TimeoutFor(1, at), c.want) << "after an answer of " << c.answer << " s";
    }
    EXPECT_EQ(decider.TimeoutFor(1, at + 61s), options.probeTimeout) << "no recent answer";
}

TEST(LineDecider, ClientsTakeTurnsAndANakIsNotDown) {
    LineDecider decider{Named()};
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
    EXPECT_EQ(a1.outcome, Outcome{});
    EXPECT_EQ(a1.done, 2u);
    EXPECT_EQ(a2.outcome, Outcome{});
    EXPECT_FALSE(b1.outcome) << "the Nak is retried";
    EXPECT_EQ(decider.Health(2).state, StationState::Up);
}

TEST(LineDecider, AClientWithABacklogGoesAfterTheOthersUntilItsRequestHasWaited) {
    LineDecider decider{Named()};
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
    EXPECT_EQ(late.outcome, Outcome{});
}

TEST(LineDecider, EveryLiveStationFallingSilentReopensThePort) {
    SchedulerOptions options = Named();
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
    EXPECT_EQ(waiting.outcome, (Outcome{DriverResult::LineFailure, FailureKind::Port}));
    decider.Reopened(true, t0 + 1500ms);
    EXPECT_TRUE(decider.PortOpen());
    RunScript(decider, {{1500ms, Kind::Probe, 1, kOk}});  // its station gets a chance at once
    EXPECT_EQ(decider.Health(1).state, StationState::Up);
}

// What one attempt's outcome does to its exchange, with two attempts to an
// exchange: finished or retried after the pause, and the station's health.
TEST(LineDecider, EachOutcomeOfAnAttemptIsRetriedOrFinishedByItsRule) {
    const AttemptOutcome kRefused{DriverResult::Refused, FailureKind::Refused, std::chrono::duration<double>(0.02)};
    const AttemptOutcome kTrailer{DriverResult::Refused, FailureKind::Trailer, std::chrono::duration<double>(0.05)};
    const AttemptOutcome kPort{DriverResult::LineFailure, FailureKind::Port, std::chrono::duration<double>(0.0)};
    struct Case {
        const char* what;
        AttemptOutcome outcome;
        int attempts;  // until the exchange is finished
        StationState state;
        bool portOpen;
    } cases[] = {
        {"an answer", kOk, 1, StationState::Up, true},
        {"a Nak is retried", kNak, 2, StationState::Up, true},
        {"a broken trailer is retried", kTrailer, 2, StationState::Up, true},
        {"silence is retried, then the station is down", kSilent, 2, StationState::Down, true},
        {"a refusal is not retried", kRefused, 1, StationState::Up, true},
        {"a port failure is not retried and closes the port", kPort, 1, StationState::Up, false},
    };
    for (const Case& c : cases) {
        SchedulerOptions options = Named();
        options.attempts = 2;
        LineDecider decider{options};
        LineRequest request = Request(1, 6);
        decider.Push(&request, t0);
        auto now = t0;
        int attempts = 0;
        for (;;) {
            const LineAction action = decider.Next(now);
            ASSERT_EQ(action.kind, Kind::Attempt) << c.what << ", attempt " << attempts + 1;
            ++attempts;
            if (decider.Attempted(request, c.outcome, now)) break;
            ASSERT_LT(attempts, 5) << c.what;
            EXPECT_EQ(decider.Next(now + options.retryPause - 1ms).kind, Kind::Wait) << c.what << ": the pause";
            now += options.retryPause;
        }
        EXPECT_EQ(attempts, c.attempts) << c.what;
        EXPECT_EQ(request.exchanges[0].attempts, c.attempts) << c.what;
        const Outcome want = c.outcome.ok() ? Outcome{} : Outcome{c.outcome.result, c.outcome.failure};
        EXPECT_EQ(request.outcome, want) << c.what;
        EXPECT_EQ(request.exchanges[0].outcome, want) << c.what;
        EXPECT_EQ(decider.Health(6).state, c.state) << c.what;
        EXPECT_EQ(decider.PortOpen(), c.portOpen) << c.what;
        EXPECT_EQ(decider.Depth(), 0u) << c.what;
    }
}

TEST(LineDecider, ProbesOfASilentStationBackOffUpToTheLongestHold) {
    SchedulerOptions options = Named();
    options.attempts = 1;
    options.downHold = 4s;
    LineDecider decider{options};
    LineRequest request = Request(1, 7);
    decider.Push(&request, t0);
    RunScript(decider, {{0ms, Kind::Attempt, 7, kSilent}});
    // Each probe at its time, after 1 s, 2 s, 4 s and 4 s of silence.
    const std::chrono::milliseconds probes[] = {1000ms, 3000ms, 7000ms, 11000ms};
    for (const auto at : probes) {
        RunScript(decider, {{at - 1ms, Kind::Wait, 0, {}}, {at, Kind::Probe, 7, kSilent}});
        EXPECT_EQ(decider.Health(7).state, StationState::Down) << "after the probe at " << at.count() << " ms";
    }
    RunScript(decider, {{15000ms, Kind::Probe, 7, kOk}});
    EXPECT_EQ(decider.Health(7).state, StationState::Up);
    EXPECT_EQ(decider.Health(7).since, t0 + 15000ms);
}

TEST(LineDecider, FailedReopensBackOffAndTheQueueIsAnsweredMeanwhile) {
    SchedulerOptions options = Named();
    options.downHold = 2s;
    LineDecider decider{options};
    decider.PortFailed(t0);
    // Tries at 0, then after 0.5 s, 1 s, 2 s, 2 s.
    const std::chrono::milliseconds tries[] = {0ms, 500ms, 1500ms, 3500ms, 5500ms};
    for (const auto at : tries) {
        if (at > 0ms) RunScript(decider, {{at - 1ms, Kind::Wait, 0, {}}});
        RunScript(decider, {{at, Kind::Reopen, 0, {}}});
        decider.Reopened(false, t0 + at);
    }
    LineRequest waiting = Request(1, 3);
    decider.Push(&waiting, t0 + 5600ms);
    RunScript(decider, {{5600ms, Kind::FailDown, 3, {}}});
    EXPECT_EQ(waiting.outcome, (Outcome{DriverResult::LineFailure, FailureKind::Port}));
    EXPECT_EQ(waiting.exchanges[0].outcome, waiting.outcome);
    RunScript(decider, {{7500ms, Kind::Reopen, 0, {}}});
    decider.Reopened(true, t0 + 7500ms);
    EXPECT_TRUE(decider.PortOpen());
    LineRequest after = Request(1, 3);
    decider.Push(&after, t0 + 7600ms);
    RunScript(decider, {{7600ms, Kind::Attempt, 3, kOk}});
    EXPECT_EQ(after.outcome, Outcome{});
}

TEST(LineDecider, ARequestWithoutExchangesIsDoneInItsClientsOrder) {
    LineDecider decider{Named()};
    LineRequest first = Request(1, 1), empty = Request(1, 1, 0), last = Request(1, 1);
    decider.Push(&first, t0);
    decider.Push(&empty, t0);
    decider.Push(&last, t0);
    const LineAction action = decider.Next(t0);
    ASSERT_EQ(action.kind, Kind::Attempt);
    EXPECT_EQ(action.request, &first);
    decider.Attempted(first, kOk, t0);
    const LineAction keep = decider.Next(t0);
    ASSERT_EQ(keep.kind, Kind::FailDown);
    EXPECT_EQ(keep.request, &empty);
    EXPECT_EQ(keep.failure, FailureKind::None);
    decider.FailedDown(empty, keep.failure);
    EXPECT_EQ(empty.outcome, Outcome{}) << "nothing to do is done";
    EXPECT_EQ(decider.Next(t0).request, &last);
}

TEST(LineDecider, DroppingAClientLeavesItsRequestUnderWay) {
    LineDecider decider{Named()};
    LineRequest running = Request(1, 1), waiting = Request(1, 1), other = Request(2, 2);
    decider.Push(&running, t0);
    decider.Push(&waiting, t0);
    decider.Push(&other, t0);
    ASSERT_EQ(decider.Next(t0).request, &running);
    EXPECT_EQ(decider.Drop(1), std::vector<LineRequest*>{&waiting});
    EXPECT_EQ(decider.Depth(), 2u);
    EXPECT_TRUE(decider.Attempted(running, kOk, t0));
    EXPECT_EQ(decider.Next(t0).request, &other);
    EXPECT_TRUE(decider.Drop(3).empty()) << "a client without requests";
}

TEST(LineDecider, ARequestBegunOfAClientThatLeftIsRunToItsStationsJudgement) {
    // The client left in the pause between two attempts of a silent station:
    // the request is kept, its station is judged down, and the same
    // client's next try is answered at once.
    LineDecider decider{Named()};
    LineRequest begun = Request(1, 9), notBegun = Request(1, 9);
    decider.Push(&begun, t0);
    decider.Push(&notBegun, t0);
    RunScript(decider, {{0ms, Kind::Attempt, 9, kSilent}, {100ms, Kind::Wait, 0, {}}});
    EXPECT_EQ(decider.Drop(1), std::vector<LineRequest*>{&notBegun});
    RunScript(decider, {
                           {700ms, Kind::Attempt, 9, kSilent},
                           {1300ms, Kind::Attempt, 9, kSilent},
                           {1900ms, Kind::Attempt, 9, kSilent},
                           {2500ms, Kind::Attempt, 9, kSilent},
                       });
    EXPECT_EQ(begun.outcome, (Outcome{DriverResult::LineFailure, FailureKind::NoAnswer}));
    EXPECT_EQ(decider.Health(9).state, StationState::Down);
    LineRequest again = Request(3, 9);
    decider.Push(&again, t0 + 2600ms);
    RunScript(decider, {{2600ms, Kind::FailDown, 9, {}}});
    EXPECT_EQ(again.failure(), FailureKind::Down);
    EXPECT_EQ(decider.Depth(), 0u);
}

TEST(LineDecider, FindWaitingFindsOnlyARequestNotYetStarted) {
    LineDecider decider{Named()};
    LineRequest a = Request(1, 1), b = Request(1, 1), c = Request(2, 2);
    a.exchanges[0].gas = "001DR0000";
    b.exchanges[0].gas = "001DR0010";
    c.exchanges[0].gas = "002DR0000";
    for (LineRequest* r : {&a, &b, &c}) decider.Push(r, t0);
    auto gasIs = [](const char* gas) {
        return [gas](const LineRequest& r) { return r.exchanges.front().gas == gas; };
    };
    EXPECT_EQ(decider.FindWaiting(1, gasIs("001DR0000")), &a);
    EXPECT_EQ(decider.FindWaiting(1, gasIs("001DR0010")), &b);
    EXPECT_EQ(decider.FindWaiting(2, gasIs("001DR0000")), nullptr) << "another station";
    ASSERT_EQ(decider.Next(t0).request, &a);
    EXPECT_EQ(decider.FindWaiting(1, gasIs("001DR0000")), nullptr) << "under way";
    EXPECT_FALSE(decider.Attempted(a, kNak, t0));
    EXPECT_EQ(decider.FindWaiting(1, gasIs("001DR0000")), nullptr) << "tried once, waiting for its retry";
    EXPECT_EQ(decider.FindWaiting(2, gasIs("002DR0000")), &c);
}

TEST(LineDecider, WithTheDriversRetriesOneAttemptAndNoStationIsHeldDown) {
    SchedulerOptions options = Named();
    options.driverRetries = true;
    LineDecider decider{options};
    LineRequest silent = Request(1, 8), again = Request(1, 8);
    decider.Push(&silent, t0);
    RunScript(decider, {{0ms, Kind::Attempt, 8, kSilent}});
    EXPECT_EQ(silent.outcome, (Outcome{DriverResult::LineFailure, FailureKind::NoAnswer}));
    EXPECT_EQ(decider.Health(8).state, StationState::Up);
    decider.Push(&again, t0 + 10ms);
    RunScript(decider, {{10ms, Kind::Attempt, 8, kOk}});
    EXPECT_EQ(again.outcome, Outcome{});
}

}  // namespace

namespace {
AttemptOutcome OkTaking(double seconds) {
    return {DriverResult::Done, FailureKind::None, std::chrono::duration<double>(seconds)};
}
}  // namespace

TEST(LineDecider, TheLineIsSharedByLineTimeNotByRequests) {
    // Client 1 asks for long block reads (200 ms each), client 2 for short
    // ones (20 ms): in the same second client 2 gets ten exchanges to each
    // of client 1's, and neither goes without.
    LineDecider decider{Named()};
    std::vector<LineRequest> longReads(4, Request(1, 1)), shortReads(40, Request(2, 2));
    for (LineRequest& r : longReads) decider.Push(&r, t0);
    for (LineRequest& r : shortReads) decider.Push(&r, t0);
    std::map<unsigned, int> turns;
    auto now = t0;
    for (int i = 0; i < 33; ++i) {
        const LineAction action = decider.Next(now);
        ASSERT_EQ(action.kind, Kind::Attempt) << i;
        const double took = action.station == 1 ? 0.2 : 0.02;
        decider.Attempted(*action.request, OkTaking(took), now);
        now += std::chrono::milliseconds(static_cast<int>(took * 1000));
        ++turns[action.station];
    }
    EXPECT_EQ(turns[1], 3);
    EXPECT_EQ(turns[2], 30);
}

TEST(LineDecider, AClientThatComesAndGoesGetsNoMoreThanItsShare) {
    // Client 2 sends one request at a time, each right after its answer;
    // client 1 keeps a backlog. Each exchange costs the same: they alternate.
    LineDecider decider{Named()};
    std::vector<LineRequest> backlog(20, Request(1, 1)), single(10, Request(2, 2));
    for (LineRequest& r : backlog) decider.Push(&r, t0);
    std::string order;
    auto now = t0;
    std::size_t next = 0;
    decider.Push(&single[next++], now);
    for (int i = 0; i < 12; ++i) {
        const LineAction action = decider.Next(now);
        ASSERT_EQ(action.kind, Kind::Attempt) << i;
        now += 50ms;
        if (decider.Attempted(*action.request, kOk, now) && action.station == 2) decider.Push(&single[next++], now);
        order += std::to_string(action.station);
    }
    EXPECT_EQ(order, "212121212121");
}

TEST(LineDecider, AHeldClientGetsOnlyTheLineTimeNobodyElseWants) {
    LineDecider decider{Named()};
    LineRequest a1 = Request(1, 1, 2), a2 = Request(1, 1), b1 = Request(2, 2), b2 = Request(2, 2);
    decider.Push(&a1, t0);
    decider.Push(&a2, t0);
    RunScript(decider, {{0ms, Kind::Attempt, 1, kOk}});  // a1 begun
    decider.Hold(1, true);
    EXPECT_TRUE(decider.Held(1));
    decider.Push(&b1, t0 + 10ms);
    decider.Push(&b2, t0 + 10ms);
    // Client 1 has charged less, yet client 2 goes while it has a request.
    RunScript(decider, {{10ms, Kind::Attempt, 2, kOk}, {20ms, Kind::Attempt, 2, kOk}});
    RunScript(decider, {{30ms, Kind::Attempt, 1, kOk}});  // nobody else: a1's second
    decider.Hold(1, false);
    RunScript(decider, {{40ms, Kind::Attempt, 1, kOk}});
    EXPECT_EQ(a1.outcome, Outcome{});
    EXPECT_EQ(a2.outcome, Outcome{});
    // Dropping a client lets go of its hold.
    decider.Hold(3, true);
    decider.Drop(3);
    EXPECT_FALSE(decider.Held(3));
}

TEST(LineDecider, StoppingFinishesTheBegunRequestsOnlyEvenHeldOrRetried) {
    LineDecider decider{Named()};
    LineRequest write = Request(1, 1, 3), other = Request(2, 2), later = Request(1, 1);
    decider.Push(&write, t0);
    decider.Push(&other, t0);
    decider.Push(&later, t0);
    RunScript(decider, {{0ms, Kind::Attempt, 1, kOk}});  // the write's first exchange
    decider.Hold(1, true);
    decider.BegunOnly();
    EXPECT_TRUE(decider.AnyBegun());
    RunScript(decider, {
                           {10ms, Kind::Attempt, 1, kNak},  // its second, failed: retried after the pause
                           {20ms, Kind::Wait, 0, {}},        // neither `other` nor `later` begins
                           {700ms, Kind::Attempt, 1, kOk},
                           {710ms, Kind::Attempt, 1, kOk},
                           {720ms, Kind::Idle, 0, {}},
                       });
    EXPECT_EQ(write.outcome, Outcome{});
    EXPECT_EQ(write.done, 3u);
    EXPECT_FALSE(decider.AnyBegun());
    EXPECT_FALSE(other.outcome);
    EXPECT_EQ(decider.Depth(), 2u);
}

TEST(LogLimit, ABurstPerKeyThenOneLineWithTheCountWhenTheWindowEnds) {
    std::vector<std::string> lines;
    LogLimit limit([&](const std::string& line) { lines.push_back(line); }, 2, std::chrono::seconds(60), 2);
    const auto t = LogLimit::Clock::time_point{} + std::chrono::hours(1);
    for (int i = 0; i < 5; ++i) limit.Line("a", "a" + std::to_string(i), t);
    limit.Line("b", "b0", t);
    limit.Line("c", "c0", t);  // past the keys: shares "other keys"
    limit.Line("d", "d0", t);
    limit.Line("e", "e0", t);
    EXPECT_EQ(lines, (std::vector<std::string>{"a0", "a1", "b0", "c0", "d0"}));
    EXPECT_EQ(limit.Suppressed(), 4u);
    limit.Flush(t + std::chrono::seconds(59));
    EXPECT_EQ(lines.size(), 5u);
    limit.Flush(t + std::chrono::seconds(60));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[5], "3 more lines of a were left out in 60 s");
    EXPECT_EQ(lines[6], "1 more lines of other keys were left out in 60 s");
    limit.Line("a", "a5", t + std::chrono::seconds(61));  // a new window
    EXPECT_EQ(lines.back(), "a5");
}
