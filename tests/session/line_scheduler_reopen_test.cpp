// The line scheduler's reopen for new settings (a reload) and its inboxes,
// over a fake line: the request under way ends whole before the reopen,
// within the bound; the requests waiting run after it on the new settings;
// each asynchronous caller's finished requests wait in its own inbox.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
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

std::unique_ptr<LineRequest> Writes(std::uint64_t client, unsigned station, std::vector<std::string> gases) {
    auto request = std::make_unique<LineRequest>();
    request->client = client;
    request->station = station;
    std::uint16_t value = 1;
    for (const std::string& gas : gases) request->exchanges.push_back(testsupport::FakeWrite(station, gas, value++));
    return request;
}

std::vector<std::unique_ptr<LineRequest>> TakeFinished(LineScheduler& scheduler, std::size_t count,
                                                       std::size_t inbox = 0) {
    return testsupport::TakeUntil(
        count, [&scheduler, inbox] { return scheduler.TakeFinished(inbox); },
        [] { std::this_thread::sleep_for(2ms); });
}

// Waits until the station's first exchange was tried (the request has begun).
void WaitBegun(const FakeLine& line, unsigned station) {
    const auto deadline = SchedulerClock::now() + 5s;
    while (line.Attempts(station) == 0 && SchedulerClock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_GT(line.Attempts(station), 0);
}

TEST(LineSchedulerReopen, TheRequestUnderWayEndsWholeThenTheWaitingOnesRunOnTheNewSettings) {
    FakeLine line;
    line.Set(2, Act::Answer, {Act::Nak});  // the first write is tried again after the pause
    SchedulerOptions options;
    options.retryPause = 200ms;
    options.firstProbe = 10s;
    LineScheduler scheduler(line, options);
    scheduler.Start();
    scheduler.Submit(Writes(1, 2, {"002DR0001", "002DR0002", "002DR0003"}));
    WaitBegun(line, 2);
    std::atomic<std::size_t> writtenAtReopen = 99, triedAtReopen = 99;
    scheduler.ReopenLine(
        [&] {
            writtenAtReopen = line.Written().size();
            triedAtReopen = line.Log().size();
            return true;
        },
        5s);
    // Another station's request, come while the reopen waits: not begun
    // meanwhile, though the line is free during the pause.
    scheduler.Submit(Writes(2, 3, {"003DR0001"}));
    const auto finished = TakeFinished(scheduler, 2);
    ASSERT_EQ(finished.size(), 2u);
    for (const auto& request : finished) EXPECT_TRUE(request->ok()) << request->exchanges[0].gas;
    EXPECT_EQ(writtenAtReopen.load(), 3u) << "the three writes, all done before the reopen";
    EXPECT_EQ(line.Log().size(), triedAtReopen.load() + 1) << "the waiting request ran after the reopen";
    EXPECT_EQ(line.Log().back(), "003DR0001");
    EXPECT_TRUE(scheduler.Stop().empty());
}

TEST(LineSchedulerReopen, TheBoundCutsOffARequestThatTakesTooLong) {
    FakeLine line;
    line.Set(2, Act::Answer, {Act::Nak});
    SchedulerOptions options;
    options.retryPause = 10s;  // its retry waits past the bound
    options.firstProbe = 10s;
    LineScheduler scheduler(line, options);
    scheduler.Start();
    scheduler.Submit(Writes(1, 2, {"002DR0001", "002DR0002"}));
    WaitBegun(line, 2);
    const auto asked = SchedulerClock::now();
    std::atomic<bool> reopened = false;
    scheduler.ReopenLine([&] { return reopened = true; }, 100ms);
    const auto finished = TakeFinished(scheduler, 1);
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_TRUE(reopened.load());
    EXPECT_LT(SchedulerClock::now() - asked, 3s);
    EXPECT_EQ(finished[0]->outcome, (Outcome{DriverResult::LineFailure, FailureKind::Port}));
    EXPECT_EQ(finished[0]->done, 0u);
    EXPECT_TRUE(line.Written().empty());
    EXPECT_TRUE(scheduler.Stop().empty());
}

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

TEST(LineSchedulerInbox, EachCallerTakesItsOwnFinishedRequests) {
    FakeLine line;
    LineScheduler scheduler(line, SchedulerOptions{});
    const std::size_t other = scheduler.OpenInbox();
    ASSERT_NE(other, 0u);
    ASSERT_NE(scheduler.WakeFd(other), scheduler.WakeFd(0));
    scheduler.Start();
    auto mine = Writes(1, 1, {"001DR0001"});
    auto theirs = Writes(2, 1, {"001DR0002"});
    theirs->inbox = other;
    scheduler.Submit(std::move(mine));
    scheduler.Submit(std::move(theirs));
    const auto inOther = TakeFinished(scheduler, 1, other);
    ASSERT_EQ(inOther.size(), 1u);
    EXPECT_EQ(inOther[0]->exchanges[0].gas, "001DR0002");
    EXPECT_FALSE(Readable(scheduler.WakeFd(other))) << "taken: nothing more to wake for";
    const auto inFirst = TakeFinished(scheduler, 1, 0);
    ASSERT_EQ(inFirst.size(), 1u);
    EXPECT_EQ(inFirst[0]->exchanges[0].gas, "001DR0001");
    EXPECT_TRUE(scheduler.Stop().empty());
}

}  // namespace
