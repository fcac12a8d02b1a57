// LineDecider: which exchange, probe or reopen goes next, from the queue,
// the stations' health and the time the caller gives.
#include "session/line/line_decider.h"

#include <algorithm>

#include "session/line/exchange_cover.h"

namespace qel::session {

namespace {
using TimePoint = SchedulerClock::time_point;

bool CameBack(FailureKind failure) {
    // Anything that came back is an answer: only silence and a dead port are not.
    return failure != FailureKind::NoAnswer && failure != FailureKind::Port;
}

// Reads only, at least one.
bool ReadOnly(const LineRequest& request) {
    return !request.exchanges.empty() &&
           std::none_of(request.exchanges.begin(), request.exchanges.end(),
                        [](const LineExchange& e) { return e.write; });
}

double Seconds(SchedulerClock::duration d) { return std::chrono::duration<double>(d).count(); }
}  // namespace

LineDecider::LineDecider(const SchedulerOptions& options) : options_(options) {
    if (options_.attempts < 1) options_.attempts = 1;
}

Pushed LineDecider::Push(LineRequest* request, TimePoint now) {
    request->queued = now;
    request->notBefore = now;
    request->outcome.reset();
    request->current = 0;
    request->done = 0;
    request->fromImage = false;
    for (LineExchange& exchange : request->exchanges) {
        exchange.host = {};
        exchange.riders.clear();
        exchange.shared = false;
    }
    // The client asked again: no read waits for it any more.
    std::erase_if(returning_, [&](const Returning& r) { return r.client == request->client; });
    auto found = std::find_if(clients_.begin(), clients_.end(),
                              [&](const ClientQueue& q) { return q.client == request->client; });
    if (found == clients_.end() && FromImage(*request, now)) return Pushed::Answered;
    if (options_.maxAge.count() > 0) {
        for (const LineExchange& exchange : request->exchanges)
            if (exchange.write) image_.Forget(exchange.transfer);
    }
    const bool joined = TryJoin(*request);
    if (found == clients_.end()) clients_.push_back({request->client, {request}, now});
    else found->requests.push_back(request);
    ++depth_;
    return joined ? Pushed::Joined : Pushed::Queued;
}

bool LineDecider::WritePending(const GateTransfer& read) const {
    for (const ClientQueue& q : clients_) {
        for (const LineRequest* request : q.requests) {
            for (std::size_t j = request->current; j < request->exchanges.size(); ++j) {
                const LineExchange& e = request->exchanges[j];
                if (e.write && !e.outcome && Touches(e.transfer, read)) return true;
            }
        }
    }
    return false;
}

bool LineDecider::FromImage(LineRequest& request, TimePoint now) {
    if (options_.maxAge.count() <= 0 || request.fromLine || !ReadOnly(request) || !portOpen_ ||
        Health(request.station).state != StationState::Up)
        return false;
    for (const LineExchange& exchange : request.exchanges)
        if (WritePending(exchange.transfer)) return false;
    TimePoint oldest = TimePoint::max();
    for (LineExchange& exchange : request.exchanges) {
        TimePoint at;
        if (!image_.Fill(exchange, now - options_.maxAge, at)) return false;
        oldest = std::min(oldest, at);
    }
    for (LineExchange& exchange : request.exchanges) exchange.outcome = Outcome{};
    request.done = request.current = request.exchanges.size();
    request.outcome = Outcome{};
    request.fromImage = true;
    ++shares_.imageRequests;
    shares_.exchangesSaved += request.exchanges.size();
    const double age = Seconds(now - oldest);
    shares_.imageAgeSum += age;
    shares_.imageAgeMax = std::max(shares_.imageAgeMax, age);
    return true;
}

bool LineDecider::TryJoin(LineRequest& request) {
    if (!ReadOnly(request) || Health(request.station).state != StationState::Up) return false;
    std::vector<ExchangeLink> hosts;
    for (const LineExchange& exchange : request.exchanges) {
        if (WritePending(exchange.transfer)) return false;
        ExchangeLink host;
        for (const ClientQueue& q : clients_) {
            // Not its own client's: those are ahead of it in its order and
            // cost it nothing less; a client sending the same read again
            // before its answer waits like any other backlog. Not a held
            // client's: those go only when the line has nothing else to do.
            if (q.client == request.client || held_.count(q.client) != 0) continue;
            for (LineRequest* other : q.requests) {
                if (other->station != request.station) continue;
                for (std::size_t j = other->current; j < other->exchanges.size() && !host; ++j) {
                    const LineExchange& h = other->exchanges[j];
                    const bool started = h.attempts != 0 || h.outcome || (other == underWay_ && j == other->current);
                    if (!h.write && !started && !h.host && Covers(h.transfer, exchange.transfer)) host = {other, j};
                }
                if (host) break;
            }
            if (host) break;
        }
        if (!host) return false;  // every exchange joins, or none
        hosts.push_back(host);
    }
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        request.exchanges[i].host = hosts[i];
        hosts[i].request->exchanges[hosts[i].exchange].riders.push_back({&request, i});
    }
    return true;
}

void LineDecider::AnswerRiders(LineExchange& exchange) {
    for (const ExchangeLink& link : exchange.riders) {
        LineExchange& rider = link.request->exchanges[link.exchange];
        if (exchange.outcome->ok()) {
            CopyCovered(exchange, rider);
            ++shares_.exchangesSaved;
        }
        rider.outcome = exchange.outcome;
        rider.host = {};
        rider.shared = true;
    }
    exchange.riders.clear();
}

void LineDecider::Unlink(LineRequest& request) {
    for (std::size_t i = 0; i < request.exchanges.size(); ++i) {
        LineExchange& exchange = request.exchanges[i];
        if (exchange.host) {
            auto& riders = exchange.host.request->exchanges[exchange.host.exchange].riders;
            std::erase_if(riders, [&](const ExchangeLink& l) { return l.request == &request && l.exchange == i; });
            exchange.host = {};
        }
        if (exchange.riders.empty()) continue;
        if (exchange.outcome) {
            AnswerRiders(exchange);
            continue;
        }
        // Not run: those that joined it run on their own.
        for (const ExchangeLink& link : exchange.riders) link.request->exchanges[link.exchange].host = {};
        exchange.riders.clear();
    }
}

LineDecider::Turn LineDecider::Settle(LineRequest& request) {
    while (request.current < request.exchanges.size()) {
        const LineExchange& exchange = request.exchanges[request.current];
        if (exchange.host) return Turn::Ride;
        if (!exchange.shared) return Turn::Run;
        if (!exchange.outcome || !exchange.outcome->ok()) return Turn::Done;
        ++request.done;
        ++request.current;
    }
    return request.exchanges.empty() ? Turn::Run : Turn::Done;
}

bool LineDecider::HoldFor(const LineRequest& request, TimePoint now, TimePoint& until) {
    if (options_.joinWait.count() <= 0 || request.current >= request.exchanges.size()) return false;
    const LineExchange& next = request.exchanges[request.current];
    if (next.write) return false;
    std::erase_if(returning_, [&](const Returning& r) { return r.until <= now; });
    bool hold = false;
    until = TimePoint::max();
    for (const Returning& r : returning_) {
        // A client with requests queued is not about to ask.
        if (r.client == request.client ||
            std::any_of(clients_.begin(), clients_.end(), [&](const ClientQueue& q) { return q.client == r.client; }))
            continue;
        if (std::any_of(r.reads.begin(), r.reads.end(),
                        [&](const GateTransfer& read) { return Covers(next.transfer, read); })) {
            hold = true;
            until = std::min(until, r.until);
        }
    }
    return hold;
}

std::vector<LineRequest*> LineDecider::Drop(std::uint64_t client) {
    std::vector<LineRequest*> dropped;
    for (auto q = clients_.begin(); q != clients_.end(); ++q) {
        if (q->client != client) continue;
        // A request begun is run to its end, between its attempts too, so
        // that its station is judged (and held down when it is silent)
        // although nobody waits for the answer.
        for (LineRequest* request : q->requests)
            if (!Begun(*request, underWay_)) dropped.push_back(request);
        for (LineRequest* request : dropped) Unlink(*request);
        q->requests.erase(std::remove_if(q->requests.begin(), q->requests.end(),
                                         [&](LineRequest* r) { return !Begun(*r, underWay_); }),
                          q->requests.end());
        if (q->requests.empty()) clients_.erase(q);
        break;
    }
    held_.erase(client);
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
    for (LineRequest* request : dropped) {
        for (LineExchange& exchange : request->exchanges) {
            exchange.host = {};
            exchange.riders.clear();
        }
    }
    returning_.clear();
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

    // Requests whose every exchange was answered by exchanges they joined
    // cost no line time: handed back first.
    for (ClientQueue& q : clients_) {
        LineRequest* request = q.requests.front();
        if (request != underWay_ && Settle(*request) == Turn::Done) {
            action.kind = LineAction::Answer;
            action.request = request;
            action.station = request->station;
            return action;
        }
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

    // The clients by their share of the line: of those whose oldest request
    // may go now, the one with the least line time charged (each attempt's
    // time goes to its client: a client of long block reads or of silent
    // stations pays for them). At equal charge, a client without a backlog
    // (more than `backlog` requests waiting: one that sends without waiting
    // for its answers) goes first, unless the one with the backlog has had
    // no turn for `backlogGrace`; then the turn order. A held client (one
    // that does not read its answers) gets only the line time no other
    // client wants.
    auto chosen = clients_.end();
    int chosenClass = 0;
    for (auto q = clients_.begin(); q != clients_.end(); ++q) {
        if (!q->placed) {
            const auto known = charged_.find(q->client);
            q->used = known == charged_.end() ? virtual_ : std::max(virtual_, known->second);
            if (known != charged_.end()) charged_.erase(known);
            q->placed = true;
        }
        LineRequest* request = q->requests.front();
        if (begunOnly_ && !Begun(*request, underWay_)) continue;
        // Its answer comes with a read queued for another request. Riding
        // costs it nothing, and banks it nothing: its charge keeps up with
        // the others', so that when it runs its own it has no line time to
        // spend ahead of a client that came meanwhile.
        if (Settle(*request) == Turn::Ride) {
            q->used = std::max(q->used, virtual_);
            continue;
        }
        const bool held = !begunOnly_ && held_.count(q->client) != 0;
        const StationHealth& h = Health(request->station);
        // A request without exchanges only keeps its place in its client's order.
        const bool empty = request->current >= request->exchanges.size();
        const bool down = !empty && h.state != StationState::Up && !options_.driverRetries;
        const TimePoint ready = std::max(request->notBefore, h.retryAt);
        if (!empty && !down && ready > now) {
            earliest = std::min(earliest, ready);
            continue;
        }
        // Answered at once, without line time (a down station, no exchanges): ahead of any attempt.
        const int cls = empty || down ? -1
                        : held                                                                                 ? 2
                        : q->requests.size() <= options_.backlog || now - q->lastTurn >= options_.backlogGrace ? 0
                                                                                                                 : 1;
        // A held client goes only when no other client's request may go.
        if (cls == 2 && chosen != clients_.end() && chosenClass < 2) continue;
        if (cls < 2 && chosenClass == 2) chosen = clients_.end();
        if (cls < 0 && chosenClass >= 0) chosen = clients_.end();
        if (chosenClass < 0 && chosen != clients_.end() && cls >= 0) continue;
        if (chosen == clients_.end() || q->used < chosen->used || (q->used == chosen->used && cls < chosenClass)) {
            chosen = q;
            chosenClass = cls;
        }
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
            // A client just answered may be about to ask for this read again.
            TimePoint until;
            if (HoldFor(*request, now, until)) {
                action = LineAction{};
                action.kind = LineAction::Wait;
                action.until = until;
                return action;
            }
            action.kind = LineAction::Attempt;
            action.timeout = TimeoutFor(request->station, now);
            underWay_ = request;
            startedAt_ = now;
        }
        virtual_ = std::max(virtual_, chosen->used);
        // Held clients wait without banking line time: let go, they take
        // turns with the others, not the time the others used meanwhile.
        if (chosenClass < 2) {
            for (ClientQueue& q : clients_)
                if (held_.count(q.client) != 0) q.used = std::max(q.used, virtual_);
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

bool LineDecider::Begun(const LineRequest& request, const LineRequest* underWay) {
    return &request == underWay || request.current > 0 ||
           (!request.exchanges.empty() && request.exchanges.front().attempts > 0);
}

bool LineDecider::AnyBegun() const {
    for (const ClientQueue& q : clients_)
        for (const LineRequest* request : q.requests)
            if (Begun(*request, underWay_)) return true;
    return false;
}

void LineDecider::Hold(std::uint64_t client, bool held) {
    if (!held) {
        held_.erase(client);
        return;
    }
    held_.insert(client);
    // Reads of other clients riding on its exchanges would wait with it:
    // they run on their own.
    for (ClientQueue& q : clients_) {
        if (q.client != client) continue;
        for (LineRequest* request : q.requests) {
            for (LineExchange& exchange : request->exchanges) {
                if (exchange.outcome) continue;
                for (const ExchangeLink& link : exchange.riders) link.request->exchanges[link.exchange].host = {};
                exchange.riders.clear();
            }
        }
    }
}

void LineDecider::Charge(std::uint64_t client, double ms) {
    for (ClientQueue& q : clients_) {
        if (q.client != client) continue;
        q.used += ms;
        return;
    }
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

void LineDecider::Finish(LineRequest& request, TimePoint now) {
    Unlink(request);
    if (std::any_of(request.exchanges.begin(), request.exchanges.end(), [](const LineExchange& e) { return e.shared; }))
        ++shares_.sharedRequests;
    // A client answered with a read may ask for it again: a queued read
    // covering it waits a moment for it (HoldFor).
    if (options_.joinWait.count() > 0 && now != TimePoint{} && request.ok() && ReadOnly(request)) {
        Returning returning{request.client, now + options_.joinWait, {}};
        for (const LineExchange& exchange : request.exchanges) returning.reads.push_back(exchange.transfer);
        returning_.push_back(std::move(returning));
    }
    for (auto q = clients_.begin(); q != clients_.end(); ++q) {
        if (q->client != request.client) continue;
        auto found = std::find(q->requests.begin(), q->requests.end(), &request);
        if (found != q->requests.end()) q->requests.erase(found);
        if (q->requests.empty()) {
            // Its charge is kept while it is ahead of the others'.
            if (q->used > virtual_) charged_[q->client] = q->used;
            clients_.erase(q);
        }
        --depth_;
        break;
    }
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
        const int attempts = options_.driverRetries ? 1 : options_.attempts;
        const bool final = exchange.attempts >= attempts || outcome.failure == FailureKind::Refused ||
                           outcome.failure == FailureKind::Port;
        if (CameBack(outcome.failure) && outcome.failure != FailureKind::Refused) h.lastAnswer = now;
        if (!final) {
            request.notBefore = now + options_.retryPause;
            h.retryAt = now + options_.retryPause;
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
        SetState(station, StationState::Up, now);
        h.retryAt = now;
        return;
    }
    SetState(station, StationState::Down, now);
    h.probeAt = now + h.backoff;
    h.backoff = std::min(h.backoff * 2, options_.downHold);
}

}  // namespace qel::session
