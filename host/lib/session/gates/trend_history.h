// The last hour of the line for the status page's charts: each station's
// answer time (the median of its recent answers) sampled once a second, a
// gap while it is down; and the values of the gates a front-end reads over
// and over (the MQTT publisher's list). What is taken is at most `points`
// per series, so that a phone draws it at once; what is kept is bounded too:
// each series holds its last `points` samples as they came, and the hour in
// `points` slices already summed, so that its memory stops growing once the
// first slices are full, whatever the span. Thread-safe.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "session/line/line_stats.h"

namespace qel::session {

struct TrendSeries {
    std::string name;              // "1" for a station, the gate's tag or else its address for a gate
    std::string gate;              // a gate's address
    std::string unit;              // a tag's unit
    std::vector<double> times;     // seconds since the Unix epoch, ascending
    std::vector<std::optional<double>> values;  // none: down, or the read failed
};

struct TrendView {
    double span = 0;  // seconds the view covers, up to `now`
    double now = 0;
    std::vector<TrendSeries> stations;
    std::vector<TrendSeries> gates;
};

class TrendHistory {
public:
    explicit TrendHistory(double span = 3600, double step = 1, std::size_t points = 240);

    // Samples each station of the snapshot, at most once per `step`.
    void Sample(const LineSnapshot& snapshot, double now);
    // A gate's value (none: the read failed), kept at most once per `step`;
    // a tag's value in its units, the series named by the tag.
    void Value(const std::string& gas, std::optional<double> value, double now, const std::string& tag = "",
               const std::string& unit = "");
    TrendView Take(double now) const;

    // The samples and slices kept in all, for the memory bound's tests.
    std::size_t Kept() const;

private:
    struct Point {
        double time;
        std::optional<double> value;
    };
    // One slice of span/points seconds: the mean of its values, or a gap
    // when any of its samples had none.
    struct Slice {
        double start = 0;
        double sum = 0;
        std::size_t count = 0;
        bool gap = false;
    };
    struct Series {
        std::deque<Point> recent;  // the last `points` samples
        std::deque<Slice> slices;  // the span, summed
    };
    void Keep(Series& series, double now, std::optional<double> value);
    TrendSeries Thin(const std::string& name, const Series& series, double now) const;

    double span_;
    double step_;
    std::size_t points_;
    mutable std::mutex mutex_;
    double lastSample_ = 0;
    std::map<unsigned, Series> stations_;
    std::map<std::string, Series> gates_;
    std::map<std::string, std::pair<std::string, std::string>> labels_;  // gas -> its tag and unit
};

}  // namespace qel::session
