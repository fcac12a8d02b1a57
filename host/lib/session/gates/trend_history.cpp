#include "session/gates/trend_history.h"

#include <algorithm>
#include <cmath>

namespace qel::session {

TrendHistory::TrendHistory(double span, double step, std::size_t points)
    : span_(span), step_(step), points_(std::max<std::size_t>(points, 2)) {}

void TrendHistory::Keep(Series& series, double now, std::optional<double> value) {
    std::deque<Point>& recent = series.recent;
    if (!recent.empty() && now - recent.back().time < step_ * 0.999) {
        // Within the step: a failure is kept over a value, so no outage is lost.
        if (!value) {
            recent.back().value = std::nullopt;
            if (!series.slices.empty()) series.slices.back().gap = true;
        }
        return;
    }
    recent.push_back({now, value});
    while (recent.size() > points_) recent.pop_front();
    const double width = span_ / static_cast<double>(points_);
    const double start = std::floor(now / width) * width;
    if (series.slices.empty() || series.slices.back().start != start) series.slices.push_back({start, 0, 0, false});
    Slice& slice = series.slices.back();
    if (value) {
        slice.sum += *value;
        ++slice.count;
    } else {
        slice.gap = true;
    }
    while (!series.slices.empty() && series.slices.front().start + width <= now - span_) series.slices.pop_front();
}

void TrendHistory::Sample(const LineSnapshot& snapshot, double now) {
    const std::lock_guard lock(mutex_);
    if (now - lastSample_ < step_ * 0.999) return;
    lastSample_ = now;
    for (const StationStats& s : snapshot.stations) {
        // Up without an answer yet, or an absent unit (no station): nothing
        // to draw; down or probing: a gap.
        if ((s.state == StationState::Up && s.answerCount == 0) || s.state == StationState::Absent) continue;
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

// At most points_ points. While the samples kept as they came cover the
// time since the first one, from them: the covered time cut into equal
// slices of at least a step, each the mean of its values, or none when any
// sample of it had none (an outage shows however short). Past that, one
// point for each summed slice of the span.
TrendSeries TrendHistory::Thin(const std::string& name, const Series& kept, double now) const {
    TrendSeries series;
    series.name = name;
    const std::deque<Point>& ring = kept.recent;
    if (ring.empty()) return series;
    const double width = span_ / static_cast<double>(points_);
    const bool recentCoverAll = kept.slices.empty() || kept.slices.front().start + width > ring.front().time;
    if (!recentCoverAll) {
        for (const Slice& slice : kept.slices) {
            if (slice.start + width <= now - span_ || (!slice.gap && slice.count == 0)) continue;
            series.times.push_back(std::min(slice.start + width, now));
            series.values.push_back(slice.gap ? std::nullopt
                                              : std::optional<double>(slice.sum / static_cast<double>(slice.count)));
        }
        return series;
    }
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

std::size_t TrendHistory::Kept() const {
    const std::lock_guard lock(mutex_);
    std::size_t kept = 0;
    for (const auto& [station, series] : stations_) kept += series.recent.size() + series.slices.size();
    for (const auto& [gas, series] : gates_) kept += series.recent.size() + series.slices.size();
    return kept;
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
