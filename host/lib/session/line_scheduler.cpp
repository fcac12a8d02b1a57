#include "session/line_scheduler.h"

#include "session/port_diagnosis.h"

#include <algorithm>
#include <cstdio>
#include <span>

#if !defined(_WIN32)
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include "session/program_name.h"

namespace qel::session {

namespace {

using TimePoint = SchedulerClock::time_point;

double WallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

FailureKind KindOf(std::int32_t failure) {
    if (failure < 0 || failure > QEL_FAILURE_PORT) return FailureKind::Port;
    return static_cast<FailureKind>(failure);
}

}  // namespace

SchedulerOptions SchedulerOptionsFor(const SessionOptions& session) {
    SchedulerOptions options;
    options.driverRetries = session.driverRetries;
    options.probeTimeout = Millis(session.probeTimeoutMs);
    options.timeout = Millis(10LL * session.line.timeout);
    return options;
}

// --- LineExchange ----------------------------------------------------------

LineExchange LineExchange::Read(const Gate& gate) {
    LineExchange exchange;
    exchange.gas = gate.gas;
    exchange.slots.assign(static_cast<std::size_t>(std::max(gate.count, 2)), 0);
    // gas and values point into the exchange itself: RunAttempt sets them.
    exchange.transfer = TransferOf(gate, gate.count, nullptr);
    exchange.transfer.gas = nullptr;
    return exchange;
}

LineExchange LineExchange::Write(const Gate& gate, std::uint16_t value) {
    LineExchange exchange = Read(gate);
    exchange.write = true;
    exchange.transfer.count = 1;
    exchange.slots[1] = value;
    return exchange;
}

LineExchange LineExchange::Read(const plan::Transfer& planned) {
    LineExchange exchange;
    exchange.transfer = plan::ToGateTransfer(planned, nullptr);
    exchange.gas = exchange.transfer.gas == nullptr ? "" : exchange.transfer.gas;
    exchange.transfer.gas = nullptr;  // RunAttempt points it at `gas`, and values at `slots`
    exchange.slots.assign(plan::SlotCount(planned), 0);
    return exchange;
}

std::vector<std::uint16_t> LineExchange::Values() const {
    if (transfer.count <= 1) return {slots.size() > 1 ? slots[1] : std::uint16_t{0}};
    return {slots.begin(), slots.begin() + std::min<std::size_t>(slots.size(), static_cast<std::size_t>(transfer.count))};
}

// --- counters ----------------------------------------------------------------

struct LineScheduler::Counters {
    std::array<StationStats, STATION_COUNT> stations{};
    std::array<bool, STATION_COUNT> seen{};
    // The last minute, second by second: busy time and exchanges.
    struct Second {
        long long index = -1;
        double busy = 0;
        std::uint32_t exchanges = 0;
    };
    std::array<Second, 60> minute{};
    LineStats line;
    TimePoint started = SchedulerClock::now();

    Second& Now(TimePoint now) {
        const long long index =
            std::chrono::duration_cast<std::chrono::seconds>(now - started).count();
        Second& second = minute[static_cast<std::size_t>(index % 60)];
        if (second.index != index) second = Second{index, 0, 0};
        return second;
    }
};

// --- LineScheduler -----------------------------------------------------------

LineScheduler::LineScheduler(QelSession& line, const SchedulerOptions& options)
    : line_(line), options_(options), decider_(options), counters_(std::make_unique<Counters>()) {
#if !defined(_WIN32)
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#endif
    counters_->line.started = WallNow();
    const double now = counters_->line.started;
    for (unsigned s = 0; s < STATION_COUNT; ++s) {
        counters_->stations[s].station = s;
        counters_->stations[s].model = line_.StationModel(s);
        counters_->stations[s].stateSince = now;
    }
}

LineScheduler::~LineScheduler() {
    Stop();
#if !defined(_WIN32)
    if (wakeFd_ >= 0) close(wakeFd_);
#endif
}

void LineScheduler::Start() {
    std::lock_guard lock(mutex_);
    if (running_) return;
    running_ = true;
    stopping_ = false;
    thread_ = std::thread([this] { Run(); });
}

std::vector<std::unique_ptr<LineRequest>> LineScheduler::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::vector<std::unique_ptr<LineRequest>> left;
    std::lock_guard lock(mutex_);
    running_ = false;
    for (LineRequest* request : decider_.DropAll()) {
        if (request->waited) {
            request->result = -1;
            request->waited = false;
            continue;
        }
        auto found = std::find_if(owned_.begin(), owned_.end(), [&](const auto& p) { return p.get() == request; });
        if (found == owned_.end()) continue;
        left.push_back(std::move(*found));
        owned_.erase(found);
    }
    called_.notify_all();
    return left;
}

void LineScheduler::Submit(std::unique_ptr<LineRequest> request) {
    {
        std::lock_guard lock(mutex_);
        if (!request->exchanges.empty()) {
            ++counters_->stations[request->station % STATION_COUNT].requests;
            counters_->seen[request->station % STATION_COUNT] = true;
        }
        decider_.Push(request.get(), SchedulerClock::now());
        owned_.push_back(std::move(request));
        counters_->line.queueDepthMax = std::max(counters_->line.queueDepthMax, decider_.Depth());
    }
    ready_.notify_all();
}

std::size_t LineScheduler::DropClient(std::uint64_t client) {
    std::lock_guard lock(mutex_);
    const std::vector<LineRequest*> dropped = decider_.Drop(client);
    for (LineRequest* request : dropped) {
        std::erase_if(owned_, [&](const auto& p) { return p.get() == request; });
    }
    return dropped.size();
}

std::vector<std::unique_ptr<LineRequest>> LineScheduler::TakeFinished() {
#if !defined(_WIN32)
    std::uint64_t count = 0;
    if (read(wakeFd_, &count, sizeof count) < 0) count = 0;  // nothing to clear
#endif
    std::lock_guard lock(mutex_);
    return std::move(finished_);
}

void LineScheduler::Call(LineRequest& request) { CallAll({&request}); }

void LineScheduler::CallAll(const std::vector<LineRequest*>& requests) {
    std::unique_lock lock(mutex_);
    const TimePoint now = SchedulerClock::now();
    for (LineRequest* request : requests) {
        request->waited = true;
        ++counters_->stations[request->station % STATION_COUNT].requests;
        counters_->seen[request->station % STATION_COUNT] = true;
        decider_.Push(request, now);
    }
    counters_->line.queueDepthMax = std::max(counters_->line.queueDepthMax, decider_.Depth());
    ready_.notify_all();
    called_.wait(lock, [&] {
        return std::all_of(requests.begin(), requests.end(), [](const LineRequest* r) { return !r->waited; });
    });
}

bool LineScheduler::StationDown(unsigned station) const {
    return station < STATION_COUNT && down_[station].load(std::memory_order_relaxed);
}

void LineScheduler::Finish(LineRequest* request) {
    CountFinished(*request);
    if (request->waited) {
        request->waited = false;
        called_.notify_all();
        return;
    }
    auto found = std::find_if(owned_.begin(), owned_.end(), [&](const auto& p) { return p.get() == request; });
    if (found == owned_.end()) return;
    finished_.push_back(std::move(*found));
    owned_.erase(found);
#if !defined(_WIN32)
    const std::uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) std::fprintf(stderr, "%scannot wake the server thread\n", MessageHead().c_str());
#endif
}

AttemptOutcome LineScheduler::RunAttempt(LineExchange& exchange, Millis timeout) {
    exchange.transfer.gas = exchange.gas.c_str();
    exchange.transfer.values = exchange.slots.data();
    AttemptOutcome outcome;
    const TimePoint start = SchedulerClock::now();
    if (options_.driverRetries) {
        const std::int32_t operation =
            exchange.write ? QEL_WRITE : exchange.transfer.count == 1 ? QEL_READ : QEL_READ_BLOCK;
        outcome.result = line_.Request(operation, &exchange.transfer);
        outcome.failure = outcome.result == 0   ? FailureKind::None
                          : outcome.result == 1 ? FailureKind::Malformed
                                                : FailureKind::NoAnswer;
    } else {
        QelAttempt attempt{};
        attempt.transfer = &exchange.transfer;
        attempt.timeoutMs = static_cast<std::int32_t>(timeout.count());
        outcome.result = line_.Request(exchange.write ? QEL_WRITE_ATTEMPT : QEL_READ_ATTEMPT, &attempt);
        outcome.failure = outcome.result == 0 ? FailureKind::None
                          : attempt.failure == QEL_FAILURE_NONE ? FailureKind::Refused
                                                                : KindOf(attempt.failure);
        if (outcome.result == 0 && !exchange.write &&
            (attempt.trailerLength > 0 || exchange.transfer.count > 1)) {
            // The one place a block reply's trailer is judged: a trailer that
            // breaks the station's learned rule makes this a failed attempt.
            const std::span<const std::uint8_t> trailer(
                attempt.trailer, static_cast<std::size_t>(std::clamp(attempt.trailerLength, 0, QEL_TRAILER_SIZE)));
            const unsigned station = exchange.transfer.station;
            if (HasBlockReply(line_.StationModel(station), exchange.transfer)) {
                const bool judged = trailers_.Judges(station);
                if (!trailers_.Accept(station, exchange.transfer, trailer) ||
                    (!judged && !trailers_.Judges(station) && trailers_.Check(station) == BlockCheck::Learning &&
                     exchange.transfer.count > 1 && !Confirmed(exchange, timeout))) {
                    outcome.result = QEL_RESULT_REFUSED;
                    outcome.failure = FailureKind::Trailer;
                }
            }
        }
    }
    outcome.took = SchedulerClock::now() - start;
    return outcome;
}

bool LineScheduler::Confirmed(const LineExchange& exchange, Millis timeout) {
    // A block that no trailer judged, while the station's rule is still
    // unknown, is served only when a second read gives the same values. (A
    // single value cannot shift into another: a character lost or gained
    // leaves it short, or shows in the trailer's length.)
    LineExchange again = exchange;
    std::ranges::fill(again.slots, std::uint16_t{0});
    again.transfer.gas = again.gas.c_str();
    again.transfer.values = again.slots.data();
    QelAttempt attempt{};
    attempt.transfer = &again.transfer;
    attempt.timeoutMs = static_cast<std::int32_t>(timeout.count());
    if (line_.Request(QEL_READ_ATTEMPT, &attempt) != 0) return false;
    const std::span<const std::uint8_t> trailer(
        attempt.trailer, static_cast<std::size_t>(std::clamp(attempt.trailerLength, 0, QEL_TRAILER_SIZE)));
    return trailers_.Accept(again.transfer.station, again.transfer, trailer) && again.Values() == exchange.Values();
}

AttemptOutcome LineScheduler::RunProbe(unsigned station, Millis timeout) {
    // One read of the station's first data register, as short as the line allows.
    Gate gate;
    char gas[16];
    std::snprintf(gas, sizeof gas, "%03uDR0000", station);
    gate.gas = gas;
    gate.dataType = DATA_TYPE_WORD;
    AttemptOutcome outcome;
    if (line_.Check(gate) != 0) {
        outcome.result = QEL_RESULT_REFUSED;
        outcome.failure = FailureKind::Refused;
        return outcome;
    }
    LineExchange exchange = LineExchange::Read(gate);
    return RunAttempt(exchange, timeout);
}

void LineScheduler::ReopenLine(std::function<bool()> reopen) {
    {
        std::lock_guard lock(mutex_);
        reopenLine_ = std::move(reopen);
    }
    ready_.notify_all();
}

bool LineScheduler::ReopenPort() {
    line_.Request(QEL_CLOSE_PORT, nullptr);
    const bool open = line_.Request(QEL_OPEN_PORT, nullptr) == 0;
    std::lock_guard lock(mutex_);
    LineStats& line = counters_->line;
    line.portOpen = open;
    if (open) ++line.portReopens;
    if (open) {
        std::fprintf(stderr, "%sserial port reopened; serving again\n", MessageHead().c_str());
    } else {
        // The driver says no more than that it failed: the device says why.
        const DriverWorkspace* workspace = line_.Workspace();
        const std::string port = workspace != nullptr ? std::string(workspace->port.portName) : std::string();
        std::fprintf(stderr, "%sserial port closed: reopening failed, trying again after a pause: %s\n",
                     MessageHead().c_str(), ExplainOpenFailure(port).c_str());
    }
    return open;
}

void LineScheduler::Count(unsigned station, const LineExchange* exchange, const AttemptOutcome& outcome,
                          bool probe) {
    Counters& c = *counters_;
    const TimePoint now = SchedulerClock::now();
    StationStats& s = c.stations[station % STATION_COUNT];
    c.seen[station % STATION_COUNT] = true;
    const double busy = outcome.took.count();
    Counters::Second& second = c.Now(now);
    second.busy += busy;
    c.line.busySeconds += busy;
    ++s.attempts;
    if (exchange != nullptr && exchange->attempts > 1) ++s.retries;
    if (exchange != nullptr && exchange->result != -1) {
        ++s.exchanges;
        ++c.line.exchanges;
        ++second.exchanges;
    }
    if (outcome.result == 0) {
        s.lastSuccess = WallNow();
        ++s.answerCount;
        s.answerSum += busy;
        std::size_t bucket = 0;
        while (bucket < kAnswerBuckets.size() && busy > kAnswerBuckets[bucket]) ++bucket;
        for (std::size_t b = bucket; b < s.answerBuckets.size(); ++b) ++s.answerBuckets[b];
    } else {
        ++s.failures[static_cast<std::size_t>(outcome.failure)];
        if (outcome.failure == FailureKind::LineError) ++c.line.lineErrors;
        s.lastFailure = outcome.failure;
        if (exchange != nullptr) {
            s.lastFailureGate = exchange->gas;
        } else {
            char gas[16];
            std::snprintf(gas, sizeof gas, "%03uDR0000", station);
            s.lastFailureGate = gas;
        }
        (void)probe;
        s.lastFailureTime = WallNow();
    }
}

void LineScheduler::CountFinished(const LineRequest& request) {
    if (request.failure == FailureKind::Down || request.failure == FailureKind::Port) {
        StationStats& s = counters_->stations[request.station % STATION_COUNT];
        if (request.failure == FailureKind::Down) ++s.failures[static_cast<std::size_t>(FailureKind::Down)];
        s.lastFailure = request.failure;
        s.lastFailureTime = WallNow();
        if (request.current < request.exchanges.size()) s.lastFailureGate = request.exchanges[request.current].gas;
    }
}

void LineScheduler::Run() {
    std::unique_lock lock(mutex_);
    auto lastLoop = SchedulerClock::now() - std::chrono::seconds(1);
    auto loop = [&] {
        if (!onLoop) return;
        lastLoop = SchedulerClock::now();
        lock.unlock();
        onLoop();
        lock.lock();
    };
    auto publish = [&](unsigned station) {
        const StationState state = decider_.Health(station).state;
        down_[station % STATION_COUNT].store(state != StationState::Up, std::memory_order_relaxed);
        StationStats& s = counters_->stations[station % STATION_COUNT];
        if (s.state != state) {
            const bool wasUp = s.state == StationState::Up;
            s.state = state;
            s.stateSince = WallNow();
            if (state == StationState::Down && wasUp)
                std::fprintf(stderr, "%sstation %u did not answer: held down, probed in the background\n",
                             MessageHead().c_str(), station);
            if (state == StationState::Up)
                std::fprintf(stderr, "%sstation %u answers again\n", MessageHead().c_str(), station);
        }
    };
    while (!stopping_) {
        if (reopenLine_) {
            const std::function<bool()> reopen = std::move(reopenLine_);
            reopenLine_ = nullptr;
            for (LineRequest* request : decider_.DropAll()) {
                request->result = 2;
                request->failure = FailureKind::Port;
                Finish(request);
            }
            lock.unlock();
            const bool open = reopen();
            lock.lock();
            const TimePoint at = SchedulerClock::now();
            if (!open) decider_.PortFailed(at);
            decider_.Reopened(open, at);
            counters_->line.portOpen = decider_.PortOpen();
            if (open) ++counters_->line.portReopens;
            continue;
        }
        const TimePoint now = SchedulerClock::now();
        const LineAction action = decider_.Next(now);
        counters_->line.queueDepth = decider_.Depth();
        switch (action.kind) {
            case LineAction::Idle:
            case LineAction::Wait: {
                const TimePoint limit = now + std::chrono::seconds(1);
                const TimePoint until = action.kind == LineAction::Wait ? std::min(action.until, limit) : limit;
                ready_.wait_until(lock, until);
                if (SchedulerClock::now() - lastLoop >= std::chrono::milliseconds(500)) loop();
                continue;
            }
            case LineAction::FailDown:
                decider_.FailedDown(*action.request, action.failure);
                Finish(action.request);
                break;
            case LineAction::Attempt: {
                LineRequest& request = *action.request;
                LineExchange& exchange = request.exchanges[request.current];
                lock.unlock();
                const AttemptOutcome outcome = RunAttempt(exchange, action.timeout);
                lock.lock();
                const bool finished = decider_.Attempted(request, outcome, SchedulerClock::now());
                Count(request.station, &exchange, outcome, false);
                publish(request.station);
                if (finished) Finish(&request);
                break;
            }
            case LineAction::Probe: {
                publish(action.station);
                lock.unlock();
                const AttemptOutcome outcome = RunProbe(action.station, action.timeout);
                lock.lock();
                decider_.Probed(action.station, outcome, SchedulerClock::now());
                Count(action.station, nullptr, outcome, true);
                publish(action.station);
                break;
            }
            case LineAction::Reopen: {
                lock.unlock();
                const bool open = ReopenPort();
                lock.lock();
                decider_.Reopened(open, SchedulerClock::now());
                break;
            }
        }
        counters_->line.portOpen = decider_.PortOpen();
        loop();
    }
}

LineSnapshot LineScheduler::Snapshot() const {
    LineSnapshot snapshot;
    snapshot.stations.reserve(64);
    std::lock_guard lock(mutex_);
    const Counters& c = *counters_;
    const TimePoint now = SchedulerClock::now();
    snapshot.line = c.line;
    snapshot.line.queueDepth = decider_.Depth();
    const double total = std::chrono::duration<double>(now - c.started).count();
    snapshot.line.busyShareTotal = total > 0 ? std::min(1.0, c.line.busySeconds / total) : 0;
    const long long index = std::chrono::duration_cast<std::chrono::seconds>(now - c.started).count();
    double busy = 0;
    std::uint64_t exchanges = 0;
    for (const Counters::Second& second : c.minute) {
        if (second.index < 0 || second.index <= index - 60) continue;
        busy += second.busy;
        exchanges += second.exchanges;
    }
    const double window = std::clamp(total, 1.0, 60.0);
    snapshot.line.busyShareMinute = std::min(1.0, busy / window);
    snapshot.line.exchangesPerSecond = static_cast<double>(exchanges) / window;
    std::array<float, 16> sorted{};
    for (unsigned s = 0; s < STATION_COUNT; ++s) {
        if (!c.seen[s]) continue;
        StationStats stats = c.stations[s];
        stats.blockCheck = trailers_.Check(s);
        const StationHealth& h = decider_.Health(s);
        if (h.recentCount > 0) {
            std::copy(h.recent.begin(), h.recent.begin() + h.recentCount, sorted.begin());
            std::sort(sorted.begin(), sorted.begin() + h.recentCount);
            stats.answerMedian = sorted[h.recentCount / 2];
            stats.answerP99 = sorted[(h.recentCount * 99) / 100];
        }
        snapshot.stations.push_back(std::move(stats));
    }
    return snapshot;
}

}  // namespace qel::session
