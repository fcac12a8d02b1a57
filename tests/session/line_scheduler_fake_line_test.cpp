// The line scheduler's thread and queue over a fake line: what each request
// comes back with, the order of a client's requests, what Stop hands back,
// and a station held down.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "session/line/line_scheduler.h"
#include "support/fake_line.h"
#include "support/take_until.h"

namespace {

using namespace qel::session;
using namespace std::chrono_literals;
using testsupport::FakeLine;
using Act = FakeLine::Act;

SchedulerOptions FastOptions() {
    SchedulerOptions options;
    options.expected.set();  // every station named: one that never answered goes down
    options.attempts = 3;
    options.retryPause = 5ms;
    options.firstProbe = 10s;  // no probe within a test
    return options;
}

LineRequest ReadOf(std::uint64_t client, unsigned station, const std::string& gas) {
    LineRequest request;
    request.client = client;
    request.station = station;
    request.exchanges.push_back(testsupport::FakeRead(station, gas));
    return request;
}

// Waits for `count` finished requests of Submit, at most 5 s.
std::vector<std::unique_ptr<LineRequest>> TakeFinished(LineScheduler& scheduler, std::size_t count) {
    return testsupport::TakeUntil(
        count, [&scheduler] { return scheduler.TakeFinished(); }, [] { std::this_thread::sleep_for(2ms); });
}

TEST(LineScheduler, EachRequestFinishesWithTheOutcomeOfItsLastAttempt) {
    struct Case {
        const char* what;
        Act steady;
        std::vector<Act> first;
        Outcome want;
        int attempts;
        // Times the station is asked what it is (onRefused): only for an
        // exchange refused to its last attempt, never for noise mended.
        int asked;
    } cases[] = {
        {"answers", Act::Answer, {}, {}, 1, 0},
        {"a Nak, then an answer", Act::Answer, {Act::Nak}, {}, 2, 0},
        {"a short answer, then an answer", Act::Answer, {Act::Short, Act::Short}, {}, 3, 0},
        {"Naks every time", Act::Nak, {}, {DriverResult::Refused, FailureKind::Nak}, 3, 1},
        {"silent", Act::Silent, {}, {DriverResult::LineFailure, FailureKind::NoAnswer}, 3, 0},
        {"refused: no retry", Act::Refuse, {}, {DriverResult::Refused, FailureKind::Refused}, 1, 0},
        {"port failure: no retry", Act::Port, {}, {DriverResult::LineFailure, FailureKind::Port}, 1, 0},
    };
    for (const Case& c : cases) {
        FakeLine line;
        line.Set(3, c.steady, c.first);
        LineScheduler scheduler(line, FastOptions());
        int asked = 0;
        scheduler.onRefused = [&asked](unsigned station) { asked += station == 3 ? 1 : 100; };
        scheduler.Start();
        LineRequest request = ReadOf(1, 3, "003DR0000");
        scheduler.Call(request);
        EXPECT_EQ(request.outcome, c.want) << c.what;
        EXPECT_EQ(request.exchanges[0].outcome, c.want) << c.what;
        EXPECT_EQ(line.Attempts(3), c.attempts) << c.what;
        EXPECT_EQ(request.done, c.want.ok() ? 1u : 0u) << c.what;
        if (c.want.ok()) {
            EXPECT_EQ(request.exchanges[0].Values(), std::vector<std::uint16_t>{301}) << c.what;
        }
        EXPECT_TRUE(scheduler.Stop().empty()) << c.what;
        // After Stop: the thread that asks has ended.
        EXPECT_EQ(asked, c.asked) << c.what;
    }
}

TEST(LineScheduler, ARequestStopsAtItsFirstFailedExchange) {
    FakeLine line;
    line.Set(2, Act::Answer, {Act::Answer, Act::Refuse});
    LineScheduler scheduler(line, FastOptions());
    scheduler.Start();
    LineRequest request;
    request.client = 1;
    request.station = 2;
    request.exchanges = {testsupport::FakeWrite(2, "002DR0001", 11), testsupport::FakeWrite(2, "002DR0002", 12),
                         testsupport::FakeWrite(2, "002DR0003", 13)};
    scheduler.Call(request);
    EXPECT_EQ(request.outcome, (Outcome{DriverResult::Refused, FailureKind::Refused}));
    EXPECT_EQ(request.done, 1u);
    EXPECT_EQ(request.current, 1u);
    EXPECT_TRUE(request.exchanges[0].outcome && request.exchanges[0].outcome->ok());
    EXPECT_FALSE(request.exchanges[2].outcome) << "never run";
    EXPECT_EQ(line.Written(), (std::map<std::string, std::uint16_t>{{"002DR0001", 11}}));
}

TEST(LineScheduler, ClientsTakeTurnsAndEachClientsRequestsKeepTheirOrder) {
    FakeLine line;
    LineScheduler scheduler(line, FastOptions());
    auto submit = [&](std::uint64_t client, std::vector<std::string> gases) {
        auto request = std::make_unique<LineRequest>();
        request->client = client;
        request->station = 1;
        for (const std::string& gas : gases) request->exchanges.push_back(testsupport::FakeRead(1, gas));
        scheduler.Submit(std::move(request));
    };
    // Queued before the thread starts, so that the order is the queue's alone.
    submit(1, {"001DR0001", "001DR0002"});
    submit(1, {"001DR0003"});
    submit(2, {"001DR0101"});
    submit(2, {"001DR0102"});
    scheduler.Start();
    const auto finished = TakeFinished(scheduler, 4);
    ASSERT_EQ(finished.size(), 4u);
    EXPECT_EQ(line.Log(), (std::vector<std::string>{"001DR0001", "001DR0101", "001DR0002", "001DR0102", "001DR0003"}));
    std::vector<std::string> order;
    for (const auto& request : finished) {
        EXPECT_TRUE(request->ok());
        order.push_back(request->exchanges.back().gas);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"001DR0101", "001DR0002", "001DR0102", "001DR0003"}));
}

TEST(LineScheduler, StopHandsBackWhatWasNotDoneWithoutAnOutcome) {
    FakeLine line;
    line.Set(4, Act::Nak);
    line.Set(6, Act::Nak);
    SchedulerOptions options = FastOptions();
    options.retryPause = 10s;  // the Naks' retries wait past the Stop
    LineScheduler scheduler(line, options);
    scheduler.Submit(std::make_unique<LineRequest>(ReadOf(1, 4, "004DR0000")));
    scheduler.Submit(std::make_unique<LineRequest>(ReadOf(1, 4, "004DR0001")));
    scheduler.Start();
    // A synchronous caller waits as well, for another station.
    LineRequest called = ReadOf(2, 6, "006DR0000");
    std::thread caller([&] { scheduler.Call(called); });
    const auto deadline = SchedulerClock::now() + 5s;
    while ((line.Attempts(4) + line.Attempts(6) < 2 || scheduler.Snapshot().line.queueDepth < 3) &&
           SchedulerClock::now() < deadline)
        std::this_thread::sleep_for(2ms);
    const auto left = scheduler.Stop();
    caller.join();
    EXPECT_EQ(line.Attempts(4), 1) << "the first request, tried once";
    EXPECT_EQ(line.Attempts(6), 1);
    ASSERT_EQ(left.size(), 2u);
    for (const auto& request : left) EXPECT_FALSE(request->outcome) << request->exchanges[0].gas;
    EXPECT_EQ(left[0]->exchanges[0].gas, "004DR0000");
    EXPECT_EQ(left[0]->exchanges[0].attempts, 1) << "tried, yet not done";
    EXPECT_EQ(left[1]->exchanges[0].attempts, 0);
    EXPECT_FALSE(called.outcome);
    EXPECT_EQ(called.exchanges[0].attempts, 1);
    EXPECT_TRUE(scheduler.TakeFinished().empty());
}

TEST(LineScheduler, AStationHeldDownFailsAtOnceWithoutLineTime) {
    FakeLine line;
    line.Set(1, Act::Answer);
    line.Set(5, Act::Silent);
    LineScheduler scheduler(line, FastOptions());
    scheduler.Start();
    LineRequest live = ReadOf(1, 1, "001DR0000");
    scheduler.Call(live);
    LineRequest first = ReadOf(1, 5, "005DR0000");
    scheduler.Call(first);
    EXPECT_EQ(first.outcome, (Outcome{DriverResult::LineFailure, FailureKind::NoAnswer}));
    EXPECT_TRUE(scheduler.StationDown(5));
    EXPECT_FALSE(scheduler.StationDown(1));

    LineRequest again = ReadOf(1, 5, "005DR0001");
    scheduler.Call(again);
    EXPECT_EQ(again.outcome, (Outcome{DriverResult::LineFailure, FailureKind::Down}));
    EXPECT_EQ(again.exchanges[0].attempts, 0);
    EXPECT_EQ(line.Attempts(5), 3) << "only the first request's attempts";
    EXPECT_EQ(line.Reopens(), 0) << "station 1 still answers: not the port";

    const LineSnapshot snapshot = scheduler.Snapshot();
    ASSERT_EQ(snapshot.stations.size(), 2u);
    const StationStats& five = snapshot.stations[1];
    EXPECT_EQ(five.station, 5u);
    EXPECT_EQ(five.state, StationState::Down);
    EXPECT_EQ(five.requests, 2u);
    EXPECT_EQ(five.attempts, 3u);
    EXPECT_EQ(five.retries, 2u);
    EXPECT_EQ(five.failures[static_cast<std::size_t>(FailureKind::NoAnswer)], 3u);
    EXPECT_EQ(five.failures[static_cast<std::size_t>(FailureKind::Down)], 1u);
    EXPECT_EQ(five.lastFailureGate, "005DR0001");
    EXPECT_EQ(snapshot.stations[0].answerCount, 1u);
}

}  // namespace

namespace {

// A caller that gives up (a Python Ctrl-C): its Call, not begun, comes back
// at once without an outcome, and nothing of it goes to the line.
TEST(LineScheduler, ACallWhoseClientIsDroppedComesBackWithoutAnOutcome) {
    FakeLine line;
    LineScheduler scheduler(line, FastOptions());  // not started yet: nothing begins
    LineRequest request = ReadOf(7, 3, "003DR0000");
    std::thread caller([&] { scheduler.Call(request); });
    std::size_t dropped = 0;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (dropped == 0 && std::chrono::steady_clock::now() < end) {
        dropped = scheduler.DropClient(7);
        if (dropped == 0) std::this_thread::sleep_for(2ms);
    }
    caller.join();
    EXPECT_EQ(dropped, 1u);
    EXPECT_FALSE(request.outcome);
    scheduler.Start();
    LineRequest next = ReadOf(8, 3, "003DR0001");
    scheduler.Call(next);
    EXPECT_TRUE(next.outcome && next.outcome->ok());
    EXPECT_EQ(line.Log(), std::vector<std::string>{"003DR0001"}) << "the dropped request never reached the line";
    EXPECT_TRUE(scheduler.Stop().empty());
}

}  // namespace
