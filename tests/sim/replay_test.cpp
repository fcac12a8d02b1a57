// The replay's timing with a scripted clock: when each change of a
// recording is due at a speed, from a time into it, and looping.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "replay_schedule.h"

namespace fasim {
namespace {

using qel::record::Change;
using qel::record::Recording;

Change At(std::int64_t millis, unsigned number, std::uint16_t value) { return {millis, 1, "DR", number, value}; }

// A night: DR 1 and DR 2 read at 10 000 ms, DR 1 changed at 10 500 and
// 12 000, DR 2 at 11 000; the recording last saw the line at 13 000.
Recording Night() {
  return {{At(10000, 1, 5), At(10000, 2, 7), At(10500, 1, 6), At(11000, 2, 8), At(12000, 1, 9)}, 13000};
}

std::vector<std::uint16_t> Values(const std::vector<Change>& changes) {
  std::vector<std::uint16_t> out;
  for (const Change& c : changes) out.push_back(c.value);
  return out;
}

ReplaySchedule Prepared(const Recording& recording, ReplaySettings settings) {
  ReplaySchedule schedule;
  std::string error;
  EXPECT_TRUE(schedule.Prepare(recording, settings, error)) << error;
  return schedule;
}

// Each step: the scripted time, the values that come due by then, and when
// the next is due after it (-1: the replay has ended).
struct Step {
  double elapsed;
  std::vector<std::uint16_t> due;
  double next;
};

struct ScheduleCase {
  const char* name;
  ReplaySettings settings;
  std::vector<Step> steps;
};

class ReplayScheduleTest : public testing::TestWithParam<ScheduleCase> {};

TEST_P(ReplayScheduleTest, ChangesComeDueAtTheirTimes) {
  const ScheduleCase& c = GetParam();
  ReplaySchedule schedule = Prepared(Night(), c.settings);
  for (const Step& step : c.steps) {
    EXPECT_EQ(Values(schedule.TakeDue(step.elapsed)), step.due) << "at " << step.elapsed;
    const std::optional<double> next = schedule.NextDue();
    if (step.next < 0) {
      EXPECT_FALSE(next.has_value()) << "at " << step.elapsed;
    } else {
      ASSERT_TRUE(next.has_value()) << "at " << step.elapsed;
      EXPECT_DOUBLE_EQ(*next, step.next) << "at " << step.elapsed;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Timing, ReplayScheduleTest,
    testing::Values(
        // The first change at 0, the rest at their offsets, each once.
        ScheduleCase{"AsRecorded", {1, false, 0},
                     {{0, {5, 7}, 500}, {499.9, {}, 500}, {500, {6}, 1000}, {1999, {8}, 2000}, {2000, {9}, -1},
                      {5000, {}, -1}}},
        // Twice as fast: half the offsets.
        ScheduleCase{"Speed2", {2, false, 0}, {{0, {5, 7}, 250}, {250, {6}, 500}, {999, {8}, 1000}, {1000, {9}, -1}}},
        ScheduleCase{"SpeedHalf", {0.5, false, 0}, {{0, {5, 7}, 1000}, {999, {}, 1000}, {4000, {6, 8, 9}, -1}}},
        // From 1 s in: the line as it stood then (DR 2 = 7, DR 1 = 6: in the order last set), the
        // change at 1 s at once, the one at 2 s a second later.
        ScheduleCase{"From", {1, false, 1000}, {{0, {7, 6, 8}, 1000}, {1000, {9}, -1}}},
        ScheduleCase{"FromBetweenChanges", {1, false, 1200}, {{0, {6, 8}, 800}, {800, {9}, -1}}},
        // From the end, in the quiet after the last change.
        ScheduleCase{"FromTheQuietEnd", {1, false, 2500}, {{0, {8, 9}, -1}}},
        // A pass lasts until the recording's end (3 s); the next begins there.
        ScheduleCase{"Loop", {1, true, 0},
                     {{0, {5, 7}, 500}, {2000, {6, 8, 9}, 3000}, {2999, {}, 3000}, {3000, {5, 7}, 3500},
                      {3500, {6}, 4000}, {6100, {8, 9, 5, 7}, 6500}}},
        // Looping from 2 s: each pass is the line at 2 s, then 1 s of quiet.
        ScheduleCase{"LoopFrom", {1, true, 2000}, {{0, {6, 8, 9}, 1000}, {1000, {6, 8, 9}, 2000}}},
        ScheduleCase{"LoopSpeed", {3, true, 0}, {{0, {5, 7}, 500.0 / 3}, {1000, {6, 8, 9, 5, 7}, 1000 + 500.0 / 3}}},
        // A process stopped for whole passes does not play them all back.
        ScheduleCase{"LoopSkipsMissedPasses", {1, true, 0}, {{0, {5, 7}, 500}, {30100, {6, 8, 9, 5, 7}, 30500}}}),
    [](const testing::TestParamInfo<ScheduleCase>& param) { return std::string(param.param.name); });

TEST(ReplaySchedule, ChangesKeepTheRecordingsOrderWhenTheirTimesDoNot) {
  // Two rounds' clocks: the second change was read a little "before" the first.
  ReplaySchedule schedule = Prepared({{At(1000, 1, 1), At(1500, 1, 2), At(1490, 2, 3), At(1600, 1, 4)}, 0}, {});
  EXPECT_EQ(Values(schedule.TakeDue(0)), (std::vector<std::uint16_t>{1}));
  EXPECT_EQ(schedule.NextDue(), 500.0);
  EXPECT_EQ(Values(schedule.TakeDue(500)), (std::vector<std::uint16_t>{2, 3}));
  EXPECT_EQ(Values(schedule.TakeDue(600)), (std::vector<std::uint16_t>{4}));
}

TEST(ReplaySchedule, RefusesWhatCannotBePlayed) {
  ReplaySchedule schedule;
  std::string error;
  EXPECT_FALSE(schedule.Prepare({{}, 0}, {}, error));
  EXPECT_NE(error.find("no changes"), std::string::npos) << error;
  EXPECT_FALSE(schedule.Prepare(Night(), {1, false, 3001}, error));
  EXPECT_NE(error.find("--from 3.001 s is past the end of the recording (3.000 s long)"), std::string::npos) << error;
  EXPECT_TRUE(schedule.Prepare(Night(), {1, false, 3000}, error)) << error;
  EXPECT_FALSE(schedule.Prepare(Night(), {1, true, 3000}, error));
  EXPECT_NE(error.find("nothing to loop"), std::string::npos) << error;
  EXPECT_FALSE(schedule.Prepare(Night(), {0, false, 0}, error));
  // A recording without its end noted ends with its last change.
  EXPECT_FALSE(schedule.Prepare({Night().changes, 0}, {1, false, 2001}, error));
  EXPECT_TRUE(schedule.Prepare({Night().changes, 0}, {1, false, 2000}, error)) << error;
}

TEST(ReplaySchedule, ParsesTimesIntoARecording) {
  struct Case {
    const char* text;
    std::int64_t millis;  // -1: refused
  };
  for (const Case& c : {Case{"90", 90000}, Case{"90s", 90000}, Case{"1.5s", 1500}, Case{"500ms", 500},
                        Case{"5m", 300000}, Case{"2h", 7200000}, Case{"1h30m", 5400000}, Case{"0", 0},
                        Case{"", -1}, Case{"-5", -1}, Case{"5x", -1}, Case{"m", -1}, Case{"5 s", -1}, Case{"1.2.3", -1},
                        Case{"90 ", -1}, Case{"10d", -1}}) {
    std::int64_t millis = -1;
    std::string error;
    const bool ok = ParseReplayTime(c.text, millis, error);
    EXPECT_EQ(ok, c.millis >= 0) << c.text;
    if (ok) {
      EXPECT_EQ(millis, c.millis) << c.text;
    } else {
      EXPECT_NE(error.find("expected a time"), std::string::npos) << c.text;
    }
  }
}

}  // namespace
}  // namespace fasim
