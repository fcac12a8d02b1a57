// A scripted clock for LineDecider's tests: requests, outcomes, and a
// script of what the decider must decide when.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "session/line/line_decider.h"

namespace decider_script {

using namespace qel::session;
using namespace std::chrono_literals;
using Kind = LineAction::Kind;

inline const SchedulerClock::time_point t0{std::chrono::hours(1)};

inline LineRequest Request(std::uint64_t client, unsigned station, std::size_t exchanges = 1) {
    LineRequest request;
    request.client = client;
    request.station = station;
    request.exchanges.resize(exchanges);
    return request;
}

// Options with every station named (by the station models or --units): a
// station that never answered goes down, not absent.
inline SchedulerOptions Named() {
    SchedulerOptions options;
    options.expected.set();
    return options;
}

inline const AttemptOutcome kOk{DriverResult::Done, FailureKind::None, std::chrono::duration<double>(0.05)};
inline const AttemptOutcome kSilent{DriverResult::LineFailure, FailureKind::NoAnswer, std::chrono::duration<double>(0.1)};
inline const AttemptOutcome kNak{DriverResult::Refused, FailureKind::Nak, std::chrono::duration<double>(0.03)};

// One step of a script: at `at` after t0 the decider is asked, and the
// action is answered with `outcome` when it is an attempt or a probe.
struct Step {
    std::chrono::milliseconds at;
    Kind want;
    unsigned station;
    AttemptOutcome outcome;
};

inline void RunScript(LineDecider& decider, const std::vector<Step>& steps) {
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

}  // namespace decider_script
