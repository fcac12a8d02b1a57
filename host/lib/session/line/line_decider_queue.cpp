// LineDecider's queue and its sharing: requests queued and dropped, reads
// joining reads already queued, answers from the line image, and the
// hand-back of joined exchanges in each client's order.
#include "session/line/line_decider.h"

#include <algorithm>

#include "session/line/decider_rules.h"
#include "session/line/exchange_cover.h"

namespace qel::session {

namespace {
using TimePoint = SchedulerClock::time_point;

double Seconds(SchedulerClock::duration d) { return std::chrono::duration<double>(d).count(); }
}  // namespace

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

}  // namespace qel::session
