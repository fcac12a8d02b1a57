#include "session/line/line_counters.h"

#include "session/gates/gate_address.h"

#include <algorithm>
#include <cstdio>

namespace qel::session {

namespace {

using TimePoint = SchedulerClock::time_point;

double WallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

LineCounters::LineCounters(const AttemptRunner& runner) {
    line_.started = WallNow();
    for (unsigned s = 0; s < STATION_COUNT; ++s) {
        stations_[s].station = s;
        stations_[s].model = runner.StationModel(s);
        stations_[s].stateSince = line_.started;
    }
}

LineCounters::Second& LineCounters::SecondOf(TimePoint now) {
    const long long index = std::chrono::duration_cast<std::chrono::seconds>(now - started_).count();
    Second& second = minute_[static_cast<std::size_t>(index % 60)];
    if (second.index != index) second = Second{index, 0, 0};
    return second;
}

void LineCounters::Requested(unsigned station) {
    StationStats& s = stations_[station % STATION_COUNT];
    ++s.requests;
    s.lastRequest = WallNow();
    if (s.firstRequest == 0) s.firstRequest = s.lastRequest;
    seen_[station % STATION_COUNT] = true;
}

void LineCounters::QueueDepth(std::size_t depth) {
    line_.queueDepth = depth;
    line_.queueDepthMax = std::max(line_.queueDepthMax, depth);
}

void LineCounters::Attempted(unsigned station, const LineExchange* exchange, const AttemptOutcome& outcome) {
    StationStats& s = stations_[station % STATION_COUNT];
    seen_[station % STATION_COUNT] = true;
    const double busy = outcome.took.count();
    Second& second = SecondOf(SchedulerClock::now());
    second.busy += busy;
    line_.busySeconds += busy;
    ++s.attempts;
    if (exchange != nullptr && exchange->attempts > 1) ++s.retries;
    if (exchange != nullptr && exchange->outcome) {
        ++s.exchanges;
        ++line_.exchanges;
        ++second.exchanges;
    }
    if (outcome.ok()) {
        s.lastSuccess = WallNow();
        ++s.answerCount;
        s.answerSum += busy;
        std::size_t bucket = 0;
        while (bucket < kAnswerBuckets.size() && busy > kAnswerBuckets[bucket]) ++bucket;
        for (std::size_t b = bucket; b < s.answerBuckets.size(); ++b) ++s.answerBuckets[b];
    } else {
        ++s.failures[static_cast<std::size_t>(outcome.failure)];
        if (outcome.failure == FailureKind::LineError) ++line_.lineErrors;
        s.lastFailure = outcome.failure;
        if (exchange != nullptr) {
            s.lastFailureGate = exchange->gas;
        } else {
            s.lastFailureGate = GateAddress{station, "DR", 0}.Format();
        }
        s.lastFailureTime = WallNow();
    }
}

void LineCounters::Finished(const LineRequest& request) {
    const FailureKind failure = request.failure();
    if (failure != FailureKind::Down && failure != FailureKind::Port) return;
    StationStats& s = stations_[request.station % STATION_COUNT];
    if (failure == FailureKind::Down) ++s.failures[static_cast<std::size_t>(FailureKind::Down)];
    s.lastFailure = failure;
    s.lastFailureTime = WallNow();
    if (request.current < request.exchanges.size()) s.lastFailureGate = request.exchanges[request.current].gas;
}

std::optional<StationState> LineCounters::State(unsigned station, StationState state) {
    StationStats& s = stations_[station % STATION_COUNT];
    if (s.state == state) return std::nullopt;
    const StationState before = s.state;
    s.state = state;
    s.stateSince = WallNow();
    return before;
}

void LineCounters::Reopened(bool open) {
    line_.portOpen = open;
    if (open) ++line_.portReopens;
}

void LineCounters::PortOpen(bool open) { line_.portOpen = open; }

void LineCounters::Note(unsigned station, const std::string& answersAs, const std::string& advice) {
    StationStats& s = stations_[station % STATION_COUNT];
    seen_[station % STATION_COUNT] = true;
    s.answersAs = answersAs;
    s.advice = advice;
}

LineSnapshot LineCounters::Snapshot(const LineDecider& decider, const AttemptRunner& runner, TimePoint now) const {
    LineSnapshot snapshot;
    snapshot.stations.reserve(64);
    snapshot.line = line_;
    snapshot.line.queueDepth = decider.Depth();
    const ShareCounts& shares = decider.Shares();
    snapshot.line.sharedRequests = shares.sharedRequests;
    snapshot.line.imageRequests = shares.imageRequests;
    snapshot.line.exchangesSaved = shares.exchangesSaved;
    snapshot.line.imageValues = decider.Image().Size();
    snapshot.line.imageMaxAge = std::chrono::duration<double>(decider.Options().maxAge).count();
    snapshot.line.imageAgeMean =
        shares.imageRequests == 0 ? 0 : shares.imageAgeSum / static_cast<double>(shares.imageRequests);
    snapshot.line.imageAgeMax = shares.imageAgeMax;
    const double total = std::chrono::duration<double>(now - started_).count();
    snapshot.line.busyShareTotal = total > 0 ? std::min(1.0, line_.busySeconds / total) : 0;
    const long long index = std::chrono::duration_cast<std::chrono::seconds>(now - started_).count();
    double busy = 0;
    std::uint64_t exchanges = 0;
    for (const Second& second : minute_) {
        if (second.index < 0 || second.index <= index - 60) continue;
        busy += second.busy;
        exchanges += second.exchanges;
    }
    const double window = std::clamp(total, 1.0, 60.0);
    snapshot.line.busyShareMinute = std::min(1.0, busy / window);
    snapshot.line.exchangesPerSecond = static_cast<double>(exchanges) / window;
    std::array<float, 16> sorted{};
    for (unsigned s = 0; s < STATION_COUNT; ++s) {
        if (!seen_[s]) continue;
        StationStats stats = stations_[s];
        stats.blockCheck = runner.TrailerCheck(s);
        const StationHealth& h = decider.Health(s);
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
