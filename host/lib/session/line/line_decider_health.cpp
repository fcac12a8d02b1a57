// LineDecider's judgement of the stations: what each attempt, probe and
// reopening tells of a station's health, when it is held down or absent,
// and how long an attempt waits for it.
#include "session/line/line_decider.h"

#include <algorithm>

#include "session/line/decider_rules.h"

namespace qel::session {

namespace {
using TimePoint = SchedulerClock::time_point;
}  // namespace

Millis LineDecider::TimeoutFor(unsigned station, TimePoint now) const {
    const StationHealth& h = Health(station);
    if (h.recentCount == 0 || h.lastAnswer == TimePoint{} || now - h.lastAnswer > options_.recent)
        return options_.probeTimeout;
    const float slowest = *std::max_element(h.recent.begin(), h.recent.begin() + h.recentCount);
    const auto learned = Millis(static_cast<long long>(3000.0 * slowest + 0.5));
    const Millis timeout = std::clamp(learned, options_.minTimeout, std::max(options_.minTimeout, options_.timeout));
    // The last attempt before a silent station is held down waits at least
    // as long as a probe: an answer merely late (a busy controller, a
    // loaded host) is not taken for silence.
    return h.silent > 0 ? std::max(timeout, options_.probeTimeout) : timeout;
}

bool LineDecider::HeldDown(unsigned station, TimePoint now) const {
    if (options_.driverRetries) return false;
    const StationHealth& h = Health(station);
    switch (h.state) {
        case StationState::Up: return false;
        // Asked again once its hold is over: the next request is its try.
        case StationState::Absent: return now < h.probeAt;
        case StationState::Down:
        case StationState::Probing: return true;
    }
    return true;
}

void LineDecider::Remember(unsigned station, double seconds, TimePoint now) {
    StationHealth& h = health_[station % STATION_COUNT];
    h.recent[h.recentNext] = static_cast<float>(seconds);
    h.recentNext = static_cast<std::uint8_t>((h.recentNext + 1) % h.recent.size());
    if (h.recentCount < h.recent.size()) ++h.recentCount;
    h.lastAnswer = now;
}

void LineDecider::SetState(unsigned station, StationState state, TimePoint now) {
    StationHealth& h = health_[station % STATION_COUNT];
    if (h.state == state) return;
    // Probing is a moment of Down: the time of the change stays the going down.
    if (!(h.state == StationState::Down && state == StationState::Probing) &&
        !(h.state == StationState::Probing && state == StationState::Down))
        h.since = now;
    h.state = state;
}

void LineDecider::GoDown(unsigned station, TimePoint now) {
    if (options_.driverRetries) return;
    StationHealth& h = health_[station % STATION_COUNT];
    // A unit no option names and that never answered (a wrong unit id in a
    // client, a scan) is absent, not down: no probes, no alarm. A request
    // for it after a hold tries it again, once.
    if (h.lastAnswer == TimePoint{} && !options_.expected.test(station % STATION_COUNT)) {
        SetState(station, StationState::Absent, now);
        h.probeAt = now + options_.downHold;
        return;
    }
    const bool wasUp = h.state == StationState::Up;
    SetState(station, StationState::Down, now);
    image_.ForgetStation(station);
    const Millis first = std::min(options_.firstProbe, options_.downHold);
    h.probeAt = now + first;
    h.backoff = std::min(first * 2, options_.downHold);  // after the first probe fails
    if (wasUp && LineSilent(now)) PortFailed(now);
}

bool LineDecider::LineSilent(TimePoint now) const {
    // Every station that answered within the last minute is down: more
    // likely the port than all the controllers at once.
    bool any = false;
    for (const StationHealth& h : health_) {
        if (h.lastAnswer == TimePoint{} || now - h.lastAnswer > options_.recent) continue;
        if (h.state == StationState::Up) return false;
        any = true;
    }
    return any;
}

void LineDecider::PortFailed(TimePoint now) {
    if (!portOpen_) return;
    portOpen_ = false;
    reopenAt_ = now;
    reopenBackoff_ = Millis(500);
}

void LineDecider::Reopened(bool open, TimePoint now) {
    if (open) {
        portOpen_ = true;
        reopenBackoff_ = Millis(0);
        // The silence was the port's: the stations get their chance again.
        for (unsigned s = 0; s < STATION_COUNT; ++s) {
            StationHealth& h = health_[s];
            if (h.state != StationState::Up && h.lastAnswer != TimePoint{} && now - h.lastAnswer <= options_.recent)
                h.probeAt = now;
        }
        return;
    }
    reopenAt_ = now + reopenBackoff_;
    reopenBackoff_ = std::min(reopenBackoff_ * 2, std::max(options_.downHold, Millis(500)));
}

bool LineDecider::Attempted(LineRequest& request, const AttemptOutcome& outcome, TimePoint now) {
    if (underWay_ == &request) underWay_ = nullptr;
    LineExchange& exchange = request.exchanges[request.current];
    ++exchange.attempts;
    // The line time it took, or, from a runner that does not measure, what the planner predicted.
    Charge(request.client, outcome.took.count() > 0 ? outcome.took.count() * 1000.0 : exchange.cost);
    // Charges of clients gone quiet that the others have caught up with are forgotten.
    std::erase_if(charged_, [this](const auto& entry) { return entry.second <= virtual_; });
    StationHealth& h = health_[request.station % STATION_COUNT];
    bool finished = false;
    const bool imaging = options_.maxAge.count() > 0;
    // A write that failed may have been done all the same.
    if (imaging && exchange.write) image_.Forget(exchange.transfer);
    if (outcome.ok()) {
        Remember(request.station, outcome.took.count(), now);
        h.silent = 0;
        SetState(request.station, StationState::Up, now);
        exchange.outcome = Outcome{};
        if (imaging && !exchange.write) {
            image_.Store(exchange, startedAt_);
            if (now - pruned_ >= std::max<SchedulerClock::duration>(options_.maxAge, std::chrono::seconds(1))) {
                image_.Prune(now - options_.maxAge);
                pruned_ = now;
            }
        }
        AnswerRiders(exchange);
        ++request.done;
        ++request.current;
        finished = request.current >= request.exchanges.size();
        if (finished) request.outcome = Outcome{};
    } else {
        const bool silence = outcome.failure == FailureKind::NoAnswer;
        const bool answeredBefore = h.lastAnswer != TimePoint{};
        if (silence && h.silent < 255) ++h.silent;
        const int attempts = options_.driverRetries ? 1 : options_.attempts;
        // Silence is not noise. A garbled answer, a Nak or a short one shows
        // the station is there, and the exchange keeps its retries. Nothing
        // at all, from a station that answered before, twice in a row (this
        // exchange's or another's), is a station gone: its request is failed
        // now, not after three more attempts a client has long stopped
        // waiting for. An absent unit's request, its one try since it was
        // last asked, gets a single attempt.
        const bool gone = silence && !options_.driverRetries &&
                          ((answeredBefore && h.silent >= 2) || h.state == StationState::Absent);
        const bool final = exchange.attempts >= attempts || outcome.failure == FailureKind::Refused ||
                           outcome.failure == FailureKind::Port || gone;
        if (CameBack(outcome.failure) && outcome.failure != FailureKind::Refused) {
            h.lastAnswer = now;
            h.silent = 0;
            // An absent unit that garbles an answer is there after all.
            if (h.state == StationState::Absent) SetState(request.station, StationState::Up, now);
        }
        if (!final) {
            const Millis pause =
                silence && answeredBefore ? std::min(options_.silencePause, options_.retryPause) : options_.retryPause;
            request.notBefore = now + pause;
            h.retryAt = now + pause;
        } else {
            exchange.outcome = Outcome{outcome.result, outcome.failure};
            request.outcome = exchange.outcome;
            finished = true;
            if (imaging) image_.Forget(exchange.transfer);
            AnswerRiders(exchange);
            if (outcome.failure == FailureKind::NoAnswer) GoDown(request.station, now);
        }
        if (outcome.failure == FailureKind::Port) PortFailed(now);
    }
    if (finished) Finish(request, now);
    return finished;
}

void LineDecider::FailedDown(LineRequest& request, FailureKind failure) {
    request.outcome = Outcome{failure == FailureKind::None ? DriverResult::Done : DriverResult::LineFailure, failure};
    if (request.current < request.exchanges.size())
        request.exchanges[request.current].outcome = Outcome{DriverResult::LineFailure, failure};
    Finish(request);
}

void LineDecider::Answered(LineRequest& request, TimePoint now) {
    request.outcome = request.current < request.exchanges.size() ? request.exchanges[request.current].outcome
                                                                   : MaybeOutcome{Outcome{}};
    Finish(request, now);
}

void LineDecider::Probed(unsigned station, const AttemptOutcome& outcome, TimePoint now) {
    StationHealth& h = health_[station % STATION_COUNT];
    if (outcome.failure == FailureKind::Port) {
        SetState(station, StationState::Down, now);
        h.probeAt = now;
        PortFailed(now);
        return;
    }
    if (CameBack(outcome.failure)) {
        if (outcome.ok()) Remember(station, outcome.took.count(), now);
        else h.lastAnswer = now;
        h.silent = 0;
        SetState(station, StationState::Up, now);
        h.retryAt = now;
        return;
    }
    SetState(station, StationState::Down, now);
    h.probeAt = now + h.backoff;
    h.backoff = std::min(h.backoff * 2, options_.downHold);
}

}  // namespace qel::session
