// LineDecider's choice: which exchange, probe or reopening goes next, by the
// clients' shares of the line's time, the stations' health and the time the
// caller gives.
#include "session/line/line_decider.h"

#include <algorithm>

namespace qel::session {

namespace {

using TimePoint = SchedulerClock::time_point;

// Which client's request goes first at equal line time, the first first: one
// answered at once without line time (its station down, or nothing left to
// run); one within its share; one with a backlog (it sends without reading
// its answers); a held client, only when no other may go.
enum class Precedence { AtOnce, Share, Backlog, Held };

}  // namespace

LineDecider::LineDecider(const SchedulerOptions& options) : options_(options) {
    if (options_.attempts < 1) options_.attempts = 1;
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
    Precedence chosenClass = Precedence::Share;
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
        const bool down = !empty && HeldDown(request->station, now);
        const TimePoint ready = std::max(request->notBefore, h.retryAt);
        if (!empty && !down && ready > now) {
            earliest = std::min(earliest, ready);
            continue;
        }
        // Answered at once, without line time (a down station, no exchanges): ahead of any attempt.
        const Precedence cls = empty || down ? Precedence::AtOnce
                               : held        ? Precedence::Held
                               : q->requests.size() <= options_.backlog || now - q->lastTurn >= options_.backlogGrace
                                   ? Precedence::Share
                                   : Precedence::Backlog;
        // A held client goes only when no other client's request may go.
        if (cls == Precedence::Held && chosen != clients_.end() && chosenClass != Precedence::Held) continue;
        if (cls != Precedence::Held && chosenClass == Precedence::Held) chosen = clients_.end();
        if (cls == Precedence::AtOnce && chosenClass != Precedence::AtOnce) chosen = clients_.end();
        if (chosenClass == Precedence::AtOnce && chosen != clients_.end() && cls != Precedence::AtOnce) continue;
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
        if (empty || HeldDown(request->station, now)) {
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
        if (chosenClass != Precedence::Held) {
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

}  // namespace qel::session
