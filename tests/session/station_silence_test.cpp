// Silence is not noise: what the decider does with a station that sends
// nothing at all, with one that garbles, and with a unit that never
// answered, under a scripted clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decider_script.h"
#include "session/line/line_decider.h"

namespace {

using namespace decider_script;

const AttemptOutcome kShort{DriverResult::LineFailure, FailureKind::ShortAnswer, std::chrono::duration<double>(0.1)};
const AttemptOutcome kGarbled{DriverResult::Refused, FailureKind::Malformed, std::chrono::duration<double>(0.04)};
const AttemptOutcome kEcho{DriverResult::Refused, FailureKind::Echo, std::chrono::duration<double>(0.02)};

// The station has answered: one request, one good attempt. So has station
// 200, which stays up: a line whose every station falls silent at once is
// taken for a failed port (and reopened), which is not what these test.
void Answered(LineDecider& decider, unsigned station, std::chrono::milliseconds at) {
    for (const unsigned s : {200u, station}) {
        LineRequest request = Request(99, s);
        decider.Push(&request, t0 + at);
        RunScript(decider, {{at, Kind::Attempt, s, kOk}});
        ASSERT_EQ(request.outcome, Outcome{});
    }
}

// Runs one request's attempts, each answered by the next outcome, at the
// earliest time the decider allows; the number of attempts made.
int Attempts(LineDecider& decider, LineRequest& request, const std::vector<AttemptOutcome>& outcomes,
             SchedulerClock::time_point& now) {
    decider.Push(&request, now);
    int made = 0;
    for (const AttemptOutcome& outcome : outcomes) {
        LineAction action = decider.Next(now);
        if (action.kind == Kind::Wait) {
            now = action.until;
            action = decider.Next(now);
        }
        if (action.kind != Kind::Attempt) break;
        ++made;
        if (decider.Attempted(*action.request, outcome, now)) break;
    }
    return made;
}

TEST(StationSilence, NothingAtAllFromAStationThatAnsweredGetsOneMoreAttemptNoiseKeepsItsRetries) {
    struct Case {
        const char* what;
        std::vector<AttemptOutcome> outcomes;
        int attempts;
        Outcome outcome;
        StationState state;
    } cases[] = {
        {"silence: one more attempt, then down", {kSilent, kSilent, kSilent, kSilent, kSilent}, 2,
         {DriverResult::LineFailure, FailureKind::NoAnswer}, StationState::Down},
        {"silence, then an answer", {kSilent, kOk}, 2, {}, StationState::Up},
        {"Naks keep their five attempts", {kNak, kNak, kNak, kNak, kNak}, 5,
         {DriverResult::Refused, FailureKind::Nak}, StationState::Up},
        {"short answers keep their five attempts", {kShort, kShort, kShort, kShort, kShort}, 5,
         {DriverResult::LineFailure, FailureKind::ShortAnswer}, StationState::Up},
        {"garbled answers keep their five attempts", {kGarbled, kGarbled, kGarbled, kGarbled, kGarbled}, 5,
         {DriverResult::Refused, FailureKind::Malformed}, StationState::Up},
        {"a bad echo keeps its five attempts", {kEcho, kEcho, kEcho, kEcho, kEcho}, 5,
         {DriverResult::Refused, FailureKind::Echo}, StationState::Up},
        {"noise between silences: the station is there", {kSilent, kNak, kSilent, kShort, kSilent}, 5,
         {DriverResult::LineFailure, FailureKind::NoAnswer}, StationState::Down},
        {"noise, then silence twice", {kNak, kSilent, kSilent, kOk}, 3,
         {DriverResult::LineFailure, FailureKind::NoAnswer}, StationState::Down},
    };
    for (const Case& c : cases) {
        LineDecider decider{SchedulerOptions{}};
        Answered(decider, 5, 0ms);
        LineRequest request = Request(1, 5);
        auto now = t0 + 100ms;
        EXPECT_EQ(Attempts(decider, request, c.outcomes, now), c.attempts) << c.what;
        EXPECT_EQ(request.outcome, c.outcome) << c.what;
        EXPECT_EQ(decider.Health(5).state, c.state) << c.what;
        EXPECT_EQ(decider.Depth(), 0u) << c.what;
    }
}

TEST(StationSilence, ASilentStationsRequestIsAnsweredWithinOneRetryPause) {
    // An answer takes 50 ms: the learned time-out is 150 ms. The first
    // silent attempt waits that, the last at least a probe's time-out.
    LineDecider decider{SchedulerOptions{}};
    Answered(decider, 3, 0ms);
    LineRequest request = Request(1, 3), next = Request(1, 3);
    decider.Push(&request, t0 + 1000ms);
    LineAction first = decider.Next(t0 + 1000ms);
    ASSERT_EQ(first.kind, Kind::Attempt);
    EXPECT_EQ(first.timeout, 150ms);
    EXPECT_FALSE(decider.Attempted(request, kSilent, t0 + 1150ms));
    EXPECT_EQ(decider.Next(t0 + 1349ms).kind, Kind::Wait);  // a short pause: silence is not noise
    LineAction last = decider.Next(t0 + 1350ms);
    ASSERT_EQ(last.kind, Kind::Attempt);
    EXPECT_GE(last.timeout, SchedulerOptions{}.probeTimeout);
    EXPECT_GE(last.timeout, 150ms);
    EXPECT_TRUE(decider.Attempted(request, kSilent, t0 + 1500ms));
    // Within 0.5 s of the request: well inside a client's 1 s time-out.
    EXPECT_EQ(request.outcome, (Outcome{DriverResult::LineFailure, FailureKind::NoAnswer}));
    EXPECT_EQ(decider.Health(3).state, StationState::Down);
    // The client's next request: at once, without the line.
    decider.Push(&next, t0 + 2000ms);
    RunScript(decider, {{2000ms, Kind::FailDown, 3, {}}});
    EXPECT_EQ(next.outcome, (Outcome{DriverResult::LineFailure, FailureKind::Down}));
    EXPECT_EQ(next.exchanges[0].attempts, 0);
}

TEST(StationSilence, SilenceCountsAcrossRequestsAndNoRequestFailedIsAttemptedLater) {
    // Two clients ask a station that fell silent; the second silent attempt
    // (the other client's) holds it down, and the first client's request,
    // a write between its attempts, is failed at once and never tried again,
    // not even when the station answers a probe before its turn.
    LineDecider decider{SchedulerOptions{}};
    Answered(decider, 8, 0ms);
    LineRequest write = Request(1, 8), read = Request(2, 8);
    write.exchanges[0].write = true;
    decider.Push(&write, t0 + 100ms);
    decider.Push(&read, t0 + 100ms);
    RunScript(decider, {
                           {100ms, Kind::Attempt, 8, kSilent},  // the write: silent
                           {250ms, Kind::Wait, 0, {}},          // the station's pause
                           {300ms, Kind::Attempt, 8, kSilent},  // the read: silent again, down
                           {300ms, Kind::FailDown, 8, {}},      // the write, at once
                       });
    EXPECT_EQ(read.outcome, (Outcome{DriverResult::LineFailure, FailureKind::NoAnswer}));
    EXPECT_EQ(write.outcome, (Outcome{DriverResult::LineFailure, FailureKind::Down}));
    EXPECT_EQ(write.exchanges[0].attempts, 1);
    EXPECT_EQ(decider.Depth(), 0u);
    RunScript(decider, {{1700ms, Kind::Probe, 8, kOk}});
    EXPECT_EQ(decider.Health(8).state, StationState::Up);
    EXPECT_EQ(decider.Next(t0 + 1800ms).kind, Kind::Idle);  // nothing of the write is left
    EXPECT_EQ(write.exchanges[0].attempts, 1);
}

TEST(StationSilence, AUnitNeverAnsweredAndNotNamedIsAbsentNotProbedAndAskedAgainAfterTheHold) {
    SchedulerOptions options;
    options.downHold = 10s;
    LineDecider decider{options};
    LineRequest first = Request(1, 1);
    auto now = t0;
    // No answer yet, so no history to judge silence by: the request's five attempts.
    EXPECT_EQ(Attempts(decider, first, {kSilent, kSilent, kSilent, kSilent, kSilent}, now), 5);
    EXPECT_EQ(first.outcome, (Outcome{DriverResult::LineFailure, FailureKind::NoAnswer}));
    EXPECT_EQ(decider.Health(1).state, StationState::Absent);
    // No probes: the line has nothing to do for it.
    EXPECT_EQ(decider.Next(now + 5s).kind, Kind::Idle);
    EXPECT_EQ(decider.Next(now + 60s).kind, Kind::Idle);
    // Within the hold a request is failed at once.
    LineRequest soon = Request(1, 1);
    decider.Push(&soon, now + 9s);
    EXPECT_EQ(decider.Next(now + 9s).kind, Kind::FailDown);
    decider.FailedDown(soon, FailureKind::Down);
    EXPECT_EQ(soon.exchanges[0].attempts, 0);
    // After it, a request tries it once.
    LineRequest later = Request(1, 1);
    auto at = now + 11s;
    EXPECT_EQ(Attempts(decider, later, {kSilent, kSilent}, at), 1);
    EXPECT_EQ(later.outcome, (Outcome{DriverResult::LineFailure, FailureKind::NoAnswer}));
    EXPECT_EQ(decider.Health(1).state, StationState::Absent);
    EXPECT_FALSE(decider.HeldDown(1, at + 10s));
    EXPECT_TRUE(decider.HeldDown(1, at + 9s));
    // A controller put in answers the next try: up, a station like any other.
    LineRequest found = Request(1, 1);
    at += 10s;
    EXPECT_EQ(Attempts(decider, found, {kOk}, at), 1);
    EXPECT_EQ(found.outcome, Outcome{});
    EXPECT_EQ(decider.Health(1).state, StationState::Up);
}

TEST(StationSilence, WhoIsAbsentAndWhoIsDown) {
    struct Case {
        const char* what;
        bool named;
        bool answered;
        AttemptOutcome last;
        StationState state;
    } cases[] = {
        {"never answered, not named", false, false, kSilent, StationState::Absent},
        {"never answered, named", true, false, kSilent, StationState::Down},
        {"answered once, not named", false, true, kSilent, StationState::Down},
        {"garbles, not named: it is there", false, false, kGarbled, StationState::Up},
    };
    for (const Case& c : cases) {
        SchedulerOptions options;
        options.attempts = 1;
        if (c.named) options.expected.set(4);
        LineDecider decider{options};
        if (c.answered) Answered(decider, 4, 0ms);
        else Answered(decider, 200, 0ms);
        LineRequest request = Request(1, 4);
        decider.Push(&request, t0 + 100ms);
        RunScript(decider, {{100ms, Kind::Attempt, 4, c.last}});
        EXPECT_EQ(decider.Health(4).state, c.state) << c.what;
        // Only a down station is probed.
        const LineAction later = decider.Next(t0 + 1100ms);
        EXPECT_EQ(later.kind == Kind::Probe, c.state == StationState::Down) << c.what;
    }
}

TEST(StationSilence, TheDriversOwnRetriesKeepTheirFiveAttemptsAndNoHealth) {
    SchedulerOptions options;
    options.driverRetries = true;
    LineDecider decider{options};
    Answered(decider, 2, 0ms);
    LineRequest request = Request(1, 2);
    decider.Push(&request, t0 + 100ms);
    RunScript(decider, {{100ms, Kind::Attempt, 2, kSilent}});
    EXPECT_EQ(decider.Health(2).state, StationState::Up);
    EXPECT_FALSE(decider.HeldDown(2, t0 + 200ms));
}

}  // namespace
