#include "session/gates/trend_history.h"

#include <algorithm>

namespace qel::session {

TrendHistory::TrendHistory(double span, double step, std::size_t points)
    : span_(span), step_(step), points_(std::max<std::size_t>(points, 2)) {}

void TrendHistory::Keep(std::deque<Point>& ring, double now, std::optional<double> value) {
    if (!ring.empty() && now - ring.back().time < step_ * 0.999) {
        // Within the step: a failure is kept over a value, so no outage is lost.
        if (!value) ring.back().value = std::nullopt;
        return;
    }
    ring.push_back({now, value});
    while (!ring.empty() && ring.front().time < now - span_) ring.pop_front();
}

void TrendHistory::Sample(const LineSnapshot& snapshot, double now) {
    const std::lock_guard lock(mutex_);
    if (now - lastSample_ < step_ * 0.999) return;
    lastSample_ = now;
    for (const StationStats& s : snapshot.stations) {
        // Up without an answer yet: nothing to draw; down or probing: a gap.
        if (s.state == StationState::Up && s.answerCount == 0) continue;
        std::optional<double> value;
        if (s.state == StationState::Up) value = s.answerMedian;
        Keep(stations_[s.station], now, value);
    }
}

void TrendHistory::Value(const std::string& gas, std::optional<double> value, double now, const std::string& tag,
                         const std::string& unit) {
    const std::lock_guard lock(mutex_);
    Keep(gates_[gas], now, value);
    labels_[gas] = {tag, unit};
}

// At most points_ points: the time the ring covers (up to the span) cut
// into equal slices of at least a step, each the mean of its values, or
// none when any sample of it had none (an outage shows however short).
TrendSeries TrendHistory::Thin(const std::string& name, const std::deque<Point>& ring, double now) const {
    TrendSeries series;
    series.name = name;
    if (ring.empty()) return series;
    const double from = std::max(now - span_, ring.front().time - step_);
    const double slice = std::max(step_, (now - from) / static_cast<double>(points_));
    std::size_t i = 0;
    for (double start = from; start < now; start += slice) {
        const double end = start + slice;
        double sum = 0;
        std::size_t count = 0;
        bool gap = false;
        for (; i < ring.size() && ring[i].time <= end; ++i) {
            if (ring[i].time <= start) continue;
            if (ring[i].value) {
                sum += *ring[i].value;
                ++count;
            } else {
                gap = true;
            }
        }
        if (!gap && count == 0) continue;  // nothing in this slice
        series.times.push_back(std::min(end, now));
        series.values.push_back(gap ? std::nullopt : std::optional<double>(sum / static_cast<double>(count)));
    }
    return series;
}

TrendView TrendHistory::Take(double now) const {
    const std::lock_guard lock(mutex_);
    TrendView view;
    view.span = span_;
    view.now = now;
    for (const auto& [station, ring] : stations_) view.stations.push_back(Thin(std::to_string(station), ring, now));
    for (const auto& [gas, ring] : gates_) {
        TrendSeries series = Thin(gas, ring, now);
        series.gate = gas;
        if (const auto label = labels_.find(gas); label != labels_.end()) {
            if (!label->second.first.empty()) series.name = label->second.first;
            series.unit = label->second.second;
        }
        view.gates.push_back(std::move(series));
    }
    return view;
}

}  // namespace qel::session
