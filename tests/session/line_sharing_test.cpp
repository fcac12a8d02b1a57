// Shared exchanges and the line image in the line scheduler's decisions
// (LineDecider), under a scripted clock.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "session/line/line_decider.h"
#include "support/case_name.h"

namespace {

using namespace qel::session;
using namespace std::chrono_literals;
using Kind = LineAction::Kind;

const SchedulerClock::time_point t0{std::chrono::hours(1)};
const AttemptOutcome kOk{DriverResult::Done, FailureKind::None, std::chrono::duration<double>(0.1)};
const AttemptOutcome kNak{DriverResult::Refused, FailureKind::Nak, std::chrono::duration<double>(0.03)};
const AttemptOutcome kSilent{DriverResult::LineFailure, FailureKind::NoAnswer, std::chrono::duration<double>(0.1)};

GateTransfer Transfer(unsigned station, std::uint32_t area, std::uint32_t element, int count,
                      int dataType = DATA_TYPE_WORD) {
    GateTransfer t{};
    t.station = station;
    t.areaCode = area;
    t.element = element;
    t.count = count;
    t.dataType = dataType;
    return t;
}

LineExchange Exchange(const GateTransfer& t, bool write = false) {
    LineExchange e;
    e.transfer = t;
    e.write = write;
    e.slots.assign(static_cast<std::size_t>(std::max(t.count, 2)), 0);
    return e;
}

// A read of DR first .. first + count - 1 of a station (count 1: a single gate).
LineRequest Read(std::uint64_t client, unsigned station, std::uint32_t first, int count) {
    LineRequest r;
    r.client = client;
    r.station = station;
    r.exchanges.push_back(Exchange(Transfer(station, AREA_DR, first, count)));
    return r;
}

LineRequest Write(std::uint64_t client, unsigned station, std::uint32_t element, std::uint16_t value) {
    LineRequest r;
    r.client = client;
    r.station = station;
    r.exchanges.push_back(Exchange(Transfer(station, AREA_DR, element, 1), true));
    r.exchanges[0].slots[1] = value;
    return r;
}

// The line's answer to a read: element e of the area holds 1000 + e.
void Fill(LineExchange& e) {
    if (e.transfer.count <= 1) e.slots[1] = static_cast<std::uint16_t>(1000 + e.transfer.element);
    for (int i = 0; e.transfer.count > 1 && i < e.transfer.count; ++i)
        e.slots[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(1000 + e.transfer.element + i);
}

// Runs the next attempt the decider hands out with `outcome`; the request.
LineRequest* RunNext(LineDecider& d, SchedulerClock::time_point at, const AttemptOutcome& outcome = kOk) {
    const LineAction action = d.Next(at);
    EXPECT_EQ(action.kind, Kind::Attempt);
    if (action.kind != Kind::Attempt) return nullptr;
    LineExchange& e = action.request->exchanges[action.request->current];
    if (outcome.ok() && !e.write) Fill(e);
    d.Attempted(*action.request, outcome, at);
    return action.request;
}

// Hands back the requests answered by what they joined, in order.
std::vector<LineRequest*> TakeAnswers(LineDecider& d, SchedulerClock::time_point at) {
    std::vector<LineRequest*> answered;
    for (LineAction a = d.Next(at); a.kind == Kind::Answer; a = d.Next(at)) {
        d.Answered(*a.request, at);
        answered.push_back(a.request);
    }
    return answered;
}

// Whether a read joins what is queued, case by case.
struct JoinCase {
    const char* name;
    GateTransfer queued;  // a read of client 1, queued first
    GateTransfer asked;   // then a read of client 2
    enum { NotStarted, UnderWay, Retrying } host = NotStarted;
    bool writeBetween = false;  // client 3 queues a write of DR 105 between the two
    Pushed want;
};

class Joining : public ::testing::TestWithParam<JoinCase> {};

TEST_P(Joining, AReadJoinsOnlyAQueuedReadThatCoversItWithNoWriteBetween) {
    const JoinCase& c = GetParam();
    SchedulerOptions options;
    options.joinWait = 0ms;
    LineDecider d{options};
    LineRequest host, asked, write = Write(3, 1, 105, 7);
    host.client = 1;
    host.station = c.queued.station;
    host.exchanges.push_back(Exchange(c.queued));
    asked.client = 2;
    asked.station = c.asked.station;
    asked.exchanges.push_back(Exchange(c.asked));
    EXPECT_EQ(d.Push(&host, t0), Pushed::Queued);
    if (c.host != JoinCase::NotStarted) {
        ASSERT_EQ(d.Next(t0).request, &host);
    }
    if (c.host == JoinCase::Retrying) {
        EXPECT_FALSE(d.Attempted(host, kNak, t0));
    }
    if (c.writeBetween) {
        EXPECT_EQ(d.Push(&write, t0), Pushed::Queued);
    }
    EXPECT_EQ(d.Push(&asked, t0), c.want);
    EXPECT_EQ(static_cast<bool>(asked.exchanges[0].host), c.want == Pushed::Joined);
    EXPECT_EQ(host.exchanges[0].riders.size(), c.want == Pushed::Joined ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    LineSharing, Joining,
    ::testing::Values(
        JoinCase{"SameBlock", Transfer(1, AREA_DR, 100, 20), Transfer(1, AREA_DR, 100, 20), JoinCase::NotStarted, false,
                 Pushed::Joined},
        JoinCase{"InsideTheBlock", Transfer(1, AREA_DR, 100, 20), Transfer(1, AREA_DR, 110, 5), JoinCase::NotStarted,
                 false, Pushed::Joined},
        JoinCase{"OneGateOfTheBlock", Transfer(1, AREA_DR, 100, 20), Transfer(1, AREA_DR, 119, 1),
                 JoinCase::NotStarted, false, Pushed::Joined},
        JoinCase{"StickingOut", Transfer(1, AREA_DR, 100, 20), Transfer(1, AREA_DR, 110, 11), JoinCase::NotStarted,
                 false, Pushed::Queued},
        JoinCase{"AnotherStation", Transfer(1, AREA_DR, 100, 20), Transfer(2, AREA_DR, 100, 20), JoinCase::NotStarted,
                 false, Pushed::Queued},
        JoinCase{"AnotherArea", Transfer(1, AREA_DR, 100, 20), Transfer(1, AREA_CT, 100, 20), JoinCase::NotStarted,
                 false, Pushed::Queued},
        JoinCase{"BitsOfAWordRead", Transfer(1, AREA_IO, 0, 16), Transfer(1, AREA_IO, 0, 8, DATA_TYPE_BIT),
                 JoinCase::NotStarted, false, Pushed::Queued},
        JoinCase{"UnderWay", Transfer(1, AREA_DR, 100, 20), Transfer(1, AREA_DR, 100, 20), JoinCase::UnderWay, false,
                 Pushed::Queued},
        JoinCase{"TriedOnceWaitingForItsRetry", Transfer(1, AREA_DR, 100, 20), Transfer(1, AREA_DR, 100, 20),
                 JoinCase::Retrying, false, Pushed::Queued},
        JoinCase{"AWriteToItsGatesBetween", Transfer(1, AREA_DR, 100, 20), Transfer(1, AREA_DR, 100, 20),
                 JoinCase::NotStarted, true, Pushed::Queued},
        JoinCase{"AWriteToOneOfItsGatesBetween", Transfer(1, AREA_DR, 100, 20), Transfer(1, AREA_DR, 105, 1),
                 JoinCase::NotStarted, true, Pushed::Queued},
        JoinCase{"AWriteOutsideItsGates", Transfer(1, AREA_DR, 100, 20), Transfer(1, AREA_DR, 106, 5),
                 JoinCase::NotStarted, true, Pushed::Joined}),
    testsupport::CaseName<JoinCase>);

TEST(LineSharing, OneExchangeAnswersEveryJoinedRequestWithItsOwnSlice) {
    LineDecider d{SchedulerOptions{}};
    LineRequest a = Read(1, 1, 100, 20), b = Read(2, 1, 105, 3), c = Read(3, 1, 119, 1);
    d.Push(&a, t0);
    EXPECT_EQ(d.Push(&b, t0), Pushed::Joined);
    EXPECT_EQ(d.Push(&c, t0), Pushed::Joined);
    EXPECT_EQ(RunNext(d, t0 + 10ms), &a);
    EXPECT_EQ(TakeAnswers(d, t0 + 150ms), (std::vector<LineRequest*>{&b, &c}));
    EXPECT_EQ(b.outcome, Outcome{});
    EXPECT_EQ(b.exchanges[0].Values(), (std::vector<std::uint16_t>{1105, 1106, 1107}));
    EXPECT_EQ(c.exchanges[0].Values(), std::vector<std::uint16_t>{1119});
    EXPECT_TRUE(b.exchanges[0].shared);
    EXPECT_EQ(d.Depth(), 0u);
    EXPECT_EQ(d.Shares().sharedRequests, 2u);
    EXPECT_EQ(d.Shares().exchangesSaved, 2u);
}

TEST(LineSharing, AJoinedAnswerWaitsForItsClientsEarlierRequests) {
    LineDecider d{SchedulerOptions{}};
    LineRequest host = Read(1, 1, 100, 20);
    LineRequest first = Read(2, 2, 0, 4);  // client 2's own read of another station, asked first
    LineRequest joined = Read(2, 1, 100, 20);
    d.Push(&host, t0);
    d.Push(&first, t0);
    EXPECT_EQ(d.Push(&joined, t0), Pushed::Joined);
    EXPECT_EQ(RunNext(d, t0), &host);
    EXPECT_TRUE(TakeAnswers(d, t0 + 100ms).empty()) << "client 2's first request is not answered yet";
    EXPECT_FALSE(joined.outcome);
    EXPECT_EQ(RunNext(d, t0 + 100ms), &first);
    EXPECT_EQ(TakeAnswers(d, t0 + 200ms), std::vector<LineRequest*>{&joined});
}

TEST(LineSharing, ARequestRidingOnAQueuedReadWaitsForItAndKeepsItsClientWaiting) {
    LineDecider d{SchedulerOptions{}};
    LineRequest busy = Read(1, 2, 0, 4), host = Read(1, 1, 100, 20);
    LineRequest joined = Read(2, 1, 100, 20), after = Read(2, 3, 0, 1);
    d.Push(&busy, t0);
    d.Push(&host, t0);
    EXPECT_EQ(d.Push(&joined, t0), Pushed::Joined);
    d.Push(&after, t0);
    // Client 2's next rides on client 1's second request: client 2 waits.
    EXPECT_EQ(RunNext(d, t0), &busy);
    EXPECT_EQ(RunNext(d, t0 + 100ms), &host);
    EXPECT_EQ(TakeAnswers(d, t0 + 200ms), std::vector<LineRequest*>{&joined});
    EXPECT_EQ(RunNext(d, t0 + 200ms), &after);
}

TEST(LineSharing, AFailedExchangeFailsThoseThatJoinedIt) {
    SchedulerOptions options;
    options.attempts = 1;
    LineDecider d{options};
    LineRequest host = Read(1, 1, 100, 20), joined = Read(2, 1, 100, 20);
    d.Push(&host, t0);
    EXPECT_EQ(d.Push(&joined, t0), Pushed::Joined);
    RunNext(d, t0, kNak);
    EXPECT_EQ(TakeAnswers(d, t0), std::vector<LineRequest*>{&joined});
    EXPECT_EQ(joined.outcome, (Outcome{DriverResult::Refused, FailureKind::Nak}));
    EXPECT_EQ(d.Shares().exchangesSaved, 0u);
}

TEST(LineSharing, AJoinedExchangeThatWasNotRunRunsOnItsOwn) {
    SchedulerOptions options;
    options.attempts = 1;
    LineDecider d{options};
    // The host request stops at its first exchange; its second, joined, was never run.
    LineRequest host;
    host.client = 1;
    host.station = 1;
    host.exchanges.push_back(Exchange(Transfer(1, AREA_DR, 0, 10)));
    host.exchanges.push_back(Exchange(Transfer(1, AREA_DR, 100, 20)));
    LineRequest joined = Read(2, 1, 100, 20), orphan = Read(4, 1, 0, 5);
    d.Push(&host, t0);
    EXPECT_EQ(d.Push(&joined, t0), Pushed::Joined);
    EXPECT_EQ(d.Push(&orphan, t0), Pushed::Joined);
    RunNext(d, t0, kNak);
    EXPECT_EQ(TakeAnswers(d, t0), std::vector<LineRequest*>{&orphan}) << "the exchange that ran failed: so did it";
    EXPECT_EQ(RunNext(d, t0 + 10ms), &joined) << "on its own";
    EXPECT_EQ(joined.exchanges[0].Values().front(), 1100);
    // A request that leaves its client's queue hands its riders back to the line.
    LineRequest again = Read(3, 1, 0, 10), rider = Read(5, 1, 2, 2);
    d.Push(&again, t0 + 20ms);
    EXPECT_EQ(d.Push(&rider, t0 + 20ms), Pushed::Joined);
    EXPECT_EQ(d.Drop(3), std::vector<LineRequest*>{&again});
    EXPECT_EQ(RunNext(d, t0 + 30ms), &rider);
    EXPECT_EQ(rider.exchanges[0].Values(), (std::vector<std::uint16_t>{1002, 1003}));
}

TEST(LineSharing, NoReadRidesOnItsOwnClientsOrOnAHeldClients) {
    SchedulerOptions options;
    options.joinWait = 0ms;
    LineDecider d{options};
    // A client asking the same read again before its answer: queued, its
    // backlog seen as such.
    LineRequest first = Read(1, 1, 100, 20), again = Read(1, 1, 100, 20);
    d.Push(&first, t0);
    EXPECT_EQ(d.Push(&again, t0), Pushed::Queued);
    EXPECT_FALSE(again.exchanges[0].host);
    // Held: a read of another client does not join it, and one that had
    // joined before runs on its own, ahead of the held client.
    LineRequest rider = Read(2, 1, 105, 2);
    EXPECT_EQ(d.Push(&rider, t0), Pushed::Joined);
    d.Hold(1, true);
    EXPECT_FALSE(rider.exchanges[0].host);
    EXPECT_TRUE(first.exchanges[0].riders.empty());
    LineRequest late = Read(3, 1, 110, 1);
    EXPECT_EQ(d.Push(&late, t0), Pushed::Queued);
    EXPECT_EQ(RunNext(d, t0), &rider);
    EXPECT_EQ(rider.exchanges[0].Values(), (std::vector<std::uint16_t>{1105, 1106}));
    EXPECT_EQ(RunNext(d, t0 + 100ms), &late);
    EXPECT_EQ(RunNext(d, t0 + 200ms), &first);
    EXPECT_EQ(RunNext(d, t0 + 300ms), &again);
    EXPECT_EQ(d.Depth(), 0u);
}

TEST(LineSharing, RidingOrHeldBanksNoLineTimeToSpendAheadOfANewcomer) {
    // Clients 1 and 2 keep a backlog of the same reads; client 2's ride on
    // client 1's, so only client 1 is charged. When client 2 runs reads of
    // its own, a client that comes then waits one exchange, not until
    // client 2 has spent the line time client 1 paid for both; and a
    // client let go after a hold takes turns, it has no time banked either.
    SchedulerOptions options;
    options.joinWait = 0ms;
    LineDecider d{options};
    std::vector<LineRequest> one, two;
    for (std::uint32_t i = 0; i < 16; ++i) {
        one.push_back(Read(1, 1, i < 8 ? i : 200 + i, 1));
        two.push_back(Read(2, 1, i < 8 ? i : 100 + i, 1));
    }
    for (std::size_t i = 0; i < 8; ++i) d.Push(&one[i], t0);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(d.Push(&two[i], t0), i < 8 ? Pushed::Joined : Pushed::Queued);
    auto now = t0;
    for (std::size_t i = 0; i < 8; ++i, now += 100ms) {
        EXPECT_EQ(RunNext(d, now), &one[i]);
        EXPECT_EQ(TakeAnswers(d, now), std::vector<LineRequest*>{&two[i]});
    }
    d.Hold(1, true);
    for (std::size_t i = 8; i < 16; ++i) d.Push(&one[i], now);
    LineRequest newcomer = Read(3, 1, 50, 1);
    d.Push(&newcomer, now);
    auto order = [&](int turns) {
        std::string clients;
        for (int i = 0; i < turns; ++i, now += 100ms) {
            const LineRequest* ran = RunNext(d, now);
            clients += ran != nullptr ? std::to_string(ran->client) : "-";
        }
        return clients;
    };
    EXPECT_EQ(order(4), "3222");
    d.Hold(1, false);
    EXPECT_EQ(order(4), "1212");
}

TEST(LineSharing, ARequestOfManyExchangesJoinsOnlyWhenEveryOneIsCovered) {
    LineDecider d{SchedulerOptions{}};
    LineRequest host = Read(1, 1, 100, 20);
    LineRequest half, whole;
    for (LineRequest* r : {&half, &whole}) {
        r->client = 2;
        r->station = 1;
    }
    half.exchanges = {Exchange(Transfer(1, AREA_DR, 100, 10)), Exchange(Transfer(1, AREA_DR, 200, 10))};
    whole.exchanges = {Exchange(Transfer(1, AREA_DR, 100, 10)), Exchange(Transfer(1, AREA_DR, 110, 10))};
    d.Push(&host, t0);
    EXPECT_EQ(d.Push(&half, t0), Pushed::Queued);
    EXPECT_FALSE(half.exchanges[0].host) << "none joins when one cannot";
    EXPECT_EQ(d.Push(&whole, t0), Pushed::Joined);
    EXPECT_EQ(host.exchanges[0].riders.size(), 2u);
    RunNext(d, t0);
    RunNext(d, t0 + 100ms);  // client 2's first: DR 100 and 200 on its own
    RunNext(d, t0 + 200ms);
    EXPECT_EQ(TakeAnswers(d, t0 + 300ms), std::vector<LineRequest*>{&whole});
    EXPECT_EQ(whole.done, 2u);
    EXPECT_EQ(whole.exchanges[1].Values().back(), 1119);
}

TEST(LineSharing, AQueuedReadWaitsAMomentForTheClientsItCanAnswer) {
    SchedulerOptions options;
    options.joinWait = 10ms;
    LineDecider d{options};
    LineRequest a = Read(1, 1, 100, 20), b = Read(2, 1, 100, 20);
    d.Push(&a, t0);
    EXPECT_EQ(RunNext(d, t0 + 100ms), &a);  // client 1 answered at 100 ms
    d.Push(&b, t0 + 100ms);
    LineAction wait = d.Next(t0 + 100ms);
    ASSERT_EQ(wait.kind, Kind::Wait) << "client 1 was just answered the same read";
    EXPECT_EQ(wait.until, t0 + 110ms);
    LineRequest again = Read(1, 1, 100, 20);
    EXPECT_EQ(d.Push(&again, t0 + 102ms), Pushed::Joined);
    EXPECT_EQ(RunNext(d, t0 + 102ms), &b);
    EXPECT_EQ(TakeAnswers(d, t0 + 202ms), std::vector<LineRequest*>{&again});
    // A client that does not ask again holds the line no longer than the wait.
    LineRequest c = Read(2, 1, 100, 20);
    d.Push(&c, t0 + 205ms);
    EXPECT_EQ(d.Next(t0 + 205ms).kind, Kind::Wait);
    EXPECT_EQ(RunNext(d, t0 + 212ms), &c);
    // Reads of other gates do not wait.
    LineRequest other = Read(3, 1, 0, 4);
    d.Push(&other, t0 + 213ms);
    EXPECT_EQ(RunNext(d, t0 + 213ms), &other);
}

// The line image.
SchedulerOptions ImageOptions() {
    SchedulerOptions options;
    options.maxAge = 150ms;
    options.joinWait = 0ms;
    return options;
}

TEST(LineImage, AFreshReadIsAnsweredFromMemoryAndNeverAValueOlderThanTheMaxAge) {
    LineDecider d{ImageOptions()};
    LineRequest poll = Read(9, 1, 100, 20);
    d.Push(&poll, t0);
    RunNext(d, t0 + 5ms);  // begun at 5 ms, answered at 105 ms: its values date from 5 ms
    struct Ask {
        std::chrono::milliseconds at;
        std::uint32_t first;
        int count;
        Pushed want;
    };
    const Ask asks[] = {
        {110ms, 100, 20, Pushed::Answered},
        {120ms, 110, 2, Pushed::Answered},
        {130ms, 119, 1, Pushed::Answered},
        {130ms, 99, 2, Pushed::Queued},   // DR 99 is not held
        {155ms, 100, 20, Pushed::Answered},  // exactly the max age
        {156ms, 100, 20, Pushed::Queued},
    };
    std::uint64_t client = 20;
    for (const Ask& ask : asks) {
        LineRequest r = Read(++client, 1, ask.first, ask.count);
        EXPECT_EQ(d.Push(&r, t0 + ask.at), ask.want) << ask.at.count() << " ms, DR " << ask.first;
        if (ask.want == Pushed::Answered) {
            EXPECT_EQ(r.outcome, Outcome{});
            EXPECT_TRUE(r.fromImage);
            EXPECT_EQ(r.exchanges[0].Values().front(), 1000 + ask.first);
        } else {
            d.Drop(client);
        }
    }
    EXPECT_EQ(d.Shares().imageRequests, 4u);
    EXPECT_DOUBLE_EQ(d.Shares().imageAgeMax, 0.150);
}

TEST(LineImage, NotForADownStationAWriteAClientsTurnOrAReaderOfTheLine) {
    LineDecider d{ImageOptions()};
    auto fill = [&](std::uint64_t client, unsigned station, SchedulerClock::time_point at) {
        LineRequest r = Read(client, station, 100, 20);
        d.Push(&r, at);
        RunNext(d, at);
    };
    fill(9, 1, t0);
    // A write to DR 105, queued: the block is not served while it waits, nor after it
    // until a read brings the value back.
    LineRequest write = Write(3, 1, 105, 7);
    d.Push(&write, t0 + 1ms);
    LineRequest before = Read(4, 1, 100, 20), beside = Read(5, 1, 110, 10);
    EXPECT_EQ(d.Push(&before, t0 + 2ms), Pushed::Queued);
    EXPECT_EQ(d.Push(&beside, t0 + 2ms), Pushed::Answered) << "the write does not touch DR 110..119";
    EXPECT_EQ(RunNext(d, t0 + 3ms), &write);
    LineRequest after = Read(6, 1, 105, 1);
    EXPECT_EQ(d.Push(&after, t0 + 4ms), Pushed::Joined) << "not from the image: it joins client 4's read";
    // A client with a request queued is answered in its turn, on the line
    // (not riding on its own queued read: its own backlog stays one).
    LineRequest mine = Read(4, 1, 110, 2);
    EXPECT_EQ(d.Push(&mine, t0 + 5ms), Pushed::Queued);
    LineRequest fresh = Read(7, 1, 110, 2);
    fresh.fromLine = true;
    EXPECT_EQ(d.Push(&fresh, t0 + 5ms), Pushed::Joined);
    // A station held down: its values go, its requests fail at once as before.
    SchedulerOptions options = ImageOptions();
    options.attempts = 1;
    LineDecider down{options};
    LineRequest r = Read(1, 2, 0, 4), elsewhere = Read(1, 3, 0, 1);  // station 3 answers: not the port
    down.Push(&r, t0);
    down.Push(&elsewhere, t0);
    RunNext(down, t0);
    RunNext(down, t0);
    LineRequest silent = Read(1, 2, 10, 1);
    down.Push(&silent, t0 + 1ms);
    RunNext(down, t0 + 1ms, kSilent);
    ASSERT_EQ(down.Health(2).state, StationState::Down);
    LineRequest late = Read(2, 2, 0, 4);
    EXPECT_EQ(down.Push(&late, t0 + 2ms), Pushed::Queued);
    EXPECT_EQ(down.Next(t0 + 2ms).kind, Kind::FailDown);
    EXPECT_EQ(down.Image().Size(), 1u) << "station 3's DR 0 alone";
}

}  // namespace
