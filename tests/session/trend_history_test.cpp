// The trends' ring: a station sampled once per step, a gap while it is
// down, nothing before its first answer, thinning that keeps an outage.
#include <gtest/gtest.h>

#include "session/gates/trend_history.h"

namespace {

using namespace qel::session;

LineSnapshot One(StationState state, double median, std::uint64_t answers) {
    LineSnapshot snapshot;
    StationStats s;
    s.station = 3;
    s.state = state;
    s.answerMedian = median;
    s.answerCount = answers;
    snapshot.stations.push_back(s);
    return snapshot;
}

TEST(TrendHistory, GapWhileDownAndNothingBeforeTheFirstAnswer) {
    TrendHistory history(3600, 1, 240);
    history.Sample(One(StationState::Up, 0, 0), 1000);      // no answer yet: no point
    history.Sample(One(StationState::Up, 0.040, 5), 1001);
    history.Sample(One(StationState::Up, 0.050, 6), 1001.5);  // within the step: not sampled
    history.Sample(One(StationState::Down, 0.050, 6), 1002);
    history.Sample(One(StationState::Probing, 0.050, 6), 1003);
    history.Sample(One(StationState::Up, 0.030, 7), 1004);
    const TrendView view = history.Take(1004);
    ASSERT_EQ(view.stations.size(), 1u);
    const TrendSeries& s = view.stations.front();
    EXPECT_EQ(s.name, "3");
    ASSERT_EQ(s.values.size(), 4u);
    EXPECT_DOUBLE_EQ(*s.values[0], 0.040);
    EXPECT_FALSE(s.values[1]);
    EXPECT_FALSE(s.values[2]);
    EXPECT_DOUBLE_EQ(*s.values[3], 0.030);
}

TEST(TrendHistory, AnAbsentUnitIsNoStationToChart) {
    TrendHistory history(3600, 1, 240);
    history.Sample(One(StationState::Absent, 0, 0), 1000);
    history.Sample(One(StationState::Absent, 0, 0), 1001);
    EXPECT_TRUE(history.Take(1001).stations.empty());
}

TEST(TrendHistory, ThinningKeepsAShortOutageAndForgetsPastTheSpan) {
    TrendHistory history(3600, 1, 10);
    for (int t = 0; t < 4000; ++t) history.Value("001DR0010", t == 3000 ? std::nullopt : std::optional<double>(7), t);
    const TrendSeries s = history.Take(3999).gates.front();
    EXPECT_LE(s.values.size(), 11u);
    EXPECT_GE(s.times.front(), 3999 - 3600);
    int gaps = 0;
    for (const auto& v : s.values) {
        if (!v) ++gaps;
        else EXPECT_DOUBLE_EQ(*v, 7);
    }
    EXPECT_EQ(gaps, 1);  // the one failed read of an hour still shows
}

// What is kept stops growing once the span's slices are made: an hour of
// 300 gates read every second holds no more than the first minutes did.
TEST(TrendHistory, MemoryIsBoundedBySlicesNotBySamples) {
    TrendHistory history(3600, 1, 240);
    std::size_t afterTwentyMinutes = 0;
    for (int t = 0; t < 7200; ++t) {
        for (int g = 0; g < 3; ++g) history.Value("001DR000" + std::to_string(g), t % 500 == 7 ? std::nullopt : std::optional<double>(t), t);
        if (t == 1200) afterTwentyMinutes = history.Kept();
    }
    EXPECT_LE(history.Kept(), 3u * (240 + 241));
    EXPECT_LE(history.Kept(), afterTwentyMinutes + 3u * 160);  // the slices of the rest of the hour only
    const TrendSeries s = history.Take(7199).gates.front();
    EXPECT_LE(s.values.size(), 241u);
    EXPECT_GE(s.times.front(), 7199 - 3600);
    // Each slice's mean, and the failed reads of the last hour as gaps.
    std::size_t gaps = 0;
    for (std::size_t i = 0; i < s.values.size(); ++i) {
        if (!s.values[i]) ++gaps;
        else EXPECT_NEAR(*s.values[i], s.times[i] - 8, 8) << s.times[i];
    }
    EXPECT_EQ(gaps, 7u);  // t % 500 == 7 within the last hour: 4007, 4507, ..., 7007
}

}  // namespace

namespace {

// A tag's series is named by the tag, with its address and unit beside it;
// an untagged gate's by its address.
TEST(TrendHistory, TagsNameTheirSeriesWithTheirUnit) {
    qel::session::TrendHistory history(3600, 1, 240);
    history.Value("001DR0010", 23.5, 1000, "oven_temp", "deg C");
    history.Value("001DR0020", 7, 1000);
    const auto view = history.Take(1001);
    ASSERT_EQ(view.gates.size(), 2u);
    EXPECT_EQ(view.gates[0].name, "oven_temp");
    EXPECT_EQ(view.gates[0].gate, "001DR0010");
    EXPECT_EQ(view.gates[0].unit, "deg C");
    ASSERT_FALSE(view.gates[0].values.empty());
    EXPECT_EQ(view.gates[0].values.back(), 23.5);
    EXPECT_EQ(view.gates[1].name, "001DR0020");
    EXPECT_TRUE(view.gates[1].unit.empty());
}

}  // namespace
