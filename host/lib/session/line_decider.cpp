// LineDecider: which exchange, probe or reopen goes next, from the queue,
// the stations' health and the time the caller gives.
#include "session/line_decider.h"

#include <algorithm>

namespace qel::session {

namespace {
using TimePoint = SchedulerClock::time_point;

bool Answered(FailureKind failure) {
    // Anything that came back is an answer: only silence and a dead port are not.
    return failure != FailureKind::NoAnswer && failure != FailureKind::Port;
}
}  // namespace

LineDecider::LineDecider(const SchedulerOptions& options) : options_(options) {
    if (options_.attempts < 1) options_.attempts = 1;
}

void LineDecider::Push(LineRequest* request, TimePoint now) {
    request->queued = now;
    request->notBefore = now;
    request->outcome.reset();
    request->current = 0;
    request->done = 0;
    auto found = std::find_if(clients_.begin(), clients_.end(),
                              [&](const ClientQueue& q) { return q.client == request->client; });
    if (found == clients_.end()) clients_.push_back({request->client, {request}, now});
    else found->requests.push_back(request);
    ++depth_;
}

bool LineDecider::Begun(const LineRequest& request) const {
    if (&request == underWay_ || request.current > 0) return true;
    return !request.exchanges.empty() && request.exchanges.front().attempts > 0;
}

std::vector<LineRequest*> LineDecider::Drop(std::uint64_t client) {
    std::vector<LineRequest*> dropped;
    for (auto q = clients_.begin(); q != clients_.end(); ++q) {
        if (q->client != client) continue;
        // A request begun is run to its end, between its attempts too, so
        // that its station is judged (and held down when it is silent)
        // although nobody waits for the answer.
        for (LineRequest* request : q->requests)
            if (!Begun(*request)) dropped.push_back(request);
        q->requests.erase(std::remove_if(q->requests.begin(), q->requests.end(),
                                         [&](LineRequest* r) { return !Begun(*r); }),
                          q->requests.end());
        if (q->requests.empty()) clients_.erase(q);
        break;
    }
    depth_ -= dropped.size();
    return dropped;
}

LineRequest* LineDecider::FindWaiting(unsigned station,
                                      const std::function<bool(const LineRequest&)>& match) const {
    for (const ClientQueue& q : clients_) {
        for (LineRequest* request : q.requests) {
            if (request == underWay_ || request->station != station || request->current != 0 ||
                request->exchanges.empty() || request->exchanges.front().attempts != 0)
                continue;
            if (match(*request)) return request;
        }
    }
    return nullptr;
}

std::vector<LineRequest*> LineDecider::DropAll() {
    std::vector<LineRequest*> dropped;
    for (const ClientQueue& q : clients_) dropped.insert(dropped.end(), q.requests.begin(), q.requests.end());
    clients_.clear();
    depth_ = 0;
    underWay_ = nullptr;
    return dropped;
}

Millis LineDecider::TimeoutFor(unsigned station, TimePoint now) const {
    const StationHealth& h = Health(station);
    if (h.recentCount == 0 || h.lastAnswer == TimePoint{} || now - h.lastAnswer > options_.recent)
        return options_.probeTimeout;
    const float slowest = *std::max_element(h.recent.begin(), h.recent.begin() + h.recentCount);
    const auto learned = Millis(static_cast<long long>(3000.0 * slowest + 0.5));
    return std::clamp(learned, options_.minTimeout, std::max(options_.minTimeout, options_.timeout));
}

LineAction LineDecider::Next(TimePoint now) {
    LineAction action;
    if (!portOpen_) {
        if (now >= reopenAt_) {
            action.kind = LineAction::Reopen;
            return action;
        }
        // Nothing reaches a closed port: the queue is answered at once.
        if (!clients_.empty()) {
            action.kind = LineAction::FailDown;
            action.request = clients_.front().requests.front();
            action.station = action.request->station;
            action.failure = FailureKind::Port;
            return action;
        }
        action.kind = LineAction::Wait;
        action.until = reopenAt_;
        return action;
    }

    // A probe well past its time goes ahead of the queue.
    int overdue = -1;
    int due = -1;
    TimePoint earliest = TimePoint::max();
    for (unsigned s = 0; s < STATION_COUNT; ++s) {
        const StationHealth& h = health_[s];
        if (h.state != StationState::Down) continue;
        if (h.probeAt + options_.probeGrace <= now &&
            (overdue < 0 || h.probeAt < health_[static_cast<unsigned>(overdue)].probeAt))
            overdue = static_cast<int>(s);
        if (h.probeAt <= now && (due < 0 || h.probeAt < health_[static_cast<unsigned>(due)].probeAt))
            due = static_cast<int>(s);
        earliest = std::min(earliest, h.probeAt);
    }
    auto probe = [&](int station) {
        action.kind = LineAction::Probe;
        action.station = static_cast<unsigned>(station);
        action.timeout = options_.probeTimeout;
        SetState(action.station, StationState::Probing, now);
        return action;
    };
    if (overdue >= 0) return probe(overdue);

    // The clients in turn: the first whose oldest request may go now. A
    // client with a backlog (more than `backlog` requests waiting: one that
    // sends without waiting for its answers, or without reading them) goes
    // only when no other client's request may go, so that a client that
    // waits for each answer is not held behind it; one that has had no turn
    // for `backlogGrace` goes in its turn all the same, so that no backlog
    // starves.
    auto chosen = clients_.end();
    for (auto q = clients_.begin(); q != clients_.end(); ++q) {
        LineRequest* request = q->requests.front();
        const StationHealth& h = Health(request->station);
        // A request without exchanges only keeps its place in its client's order.
        const bool empty = request->current >= request->exchanges.size();
        const bool down = !empty && h.state != StationState::Up && !options_.driverRetries;
        const TimePoint ready = std::max(request->notBefore, h.retryAt);
        if (!empty && !down && ready > now) {
            earliest = std::min(earliest, ready);
            continue;
        }
        // In turn order, the first client without a backlog, or without a turn for long enough.
        if (q->requests.size() <= options_.backlog || now - q->lastTurn >= options_.backlogGrace) {
            chosen = q;
            break;
        }
        if (chosen == clients_.end()) chosen = q;
    }
    if (chosen != clients_.end()) {
        LineRequest* request = chosen->requests.front();
        const bool empty = request->current >= request->exchanges.size();
        action.request = request;
        action.station = request->station;
        if (empty || (Health(request->station).state != StationState::Up && !options_.driverRetries)) {
            action.kind = LineAction::FailDown;
            action.failure = empty ? FailureKind::None : FailureKind::Down;
        } else {
            action.kind = LineAction::Attempt;
            action.timeout = TimeoutFor(request->station, now);
            underWay_ = request;
        }
        // This client's turn is spent: it goes to the back.
        chosen->lastTurn = now;
        ClientQueue turn = std::move(*chosen);
        clients_.erase(chosen);
        clients_.push_back(std::move(turn));
        return action;
    }

    if (due >= 0) return probe(due);
    if (earliest != TimePoint::max()) {
        action.kind = LineAction::Wait;
        action.until = earliest;
    }
    return action;
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
    const bool wasUp = h.state == StationState::Up;
    SetState(station, StationState::Down, now);
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

void LineDecider::Finish(LineRequest& request) {
    for (auto q = clients_.begin(); q != clients_.end(); ++q) {
        if (q->client != request.client) continue;
        auto found = std::find(q->requests.begin(), q->requests.end(), &request);
        if (found != q->requests.end()) q->requests.erase(found);
        if (q->requests.empty()) clients_.erase(q);
        --depth_;
        break;
    }
}

bool LineDecider::Attempted(LineRequest& request, const AttemptOutcome& outcome, TimePoint now) {
    if (underWay_ == &request) underWay_ = nullptr;
    LineExchange& exchange = request.exchanges[request.current];
    ++exchange.attempts;
    StationHealth& h = health_[request.station % STATION_COUNT];
    bool finished = false;
    if (outcome.ok()) {
        Remember(request.station, outcome.took.count(), now);
        SetState(request.station, StationState::Up, now);
        exchange.outcome = Outcome{};
        ++request.done;
        ++request.current;
        finished = request.current >= request.exchanges.size();
        if (finished) request.outcome = Outcome{};
    } else {
        const int attempts = options_.driverRetries ? 1 : options_.attempts;
        const bool final = exchange.attempts >= attempts || outcome.failure == FailureKind::Refused ||
                           outcome.failure == FailureKind::Port;
        if (Answered(outcome.failure) && outcome.failure != FailureKind::Refused) h.lastAnswer = now;
        if (!final) {
            request.notBefore = now + options_.retryPause;
            h.retryAt = now + options_.retryPause;
        } else {
            exchange.outcome = Outcome{outcome.result, outcome.failure};
            request.outcome = exchange.outcome;
            finished = true;
            if (outcome.failure == FailureKind::NoAnswer) GoDown(request.station, now);
        }
        if (outcome.failure == FailureKind::Port) PortFailed(now);
    }
    if (finished) Finish(request);
    return finished;
}

void LineDecider::FailedDown(LineRequest& request, FailureKind failure) {
    request.outcome = Outcome{failure == FailureKind::None ? DriverResult::Done : DriverResult::LineFailure, failure};
    if (request.current < request.exchanges.size())
        request.exchanges[request.current].outcome = Outcome{DriverResult::LineFailure, failure};
    Finish(request);
}

void LineDecider::Probed(unsigned station, const AttemptOutcome& outcome, TimePoint now) {
    StationHealth& h = health_[station % STATION_COUNT];
    if (outcome.failure == FailureKind::Port) {
        SetState(station, StationState::Down, now);
        h.probeAt = now;
        PortFailed(now);
        return;
    }
    if (Answered(outcome.failure)) {
        if (outcome.ok()) Remember(station, outcome.took.count(), now);
        else h.lastAnswer = now;
        SetState(station, StationState::Up, now);
        h.retryAt = now;
        return;
    }
    SetState(station, StationState::Down, now);
    h.probeAt = now + h.backoff;
    h.backoff = std::min(h.backoff * 2, options_.downHold);
}

}  // namespace qel::session
