// When a replay applies each change of a recording: pure timing, no clock of
// its own, so that its tests script the time. A change at recorded time m
// is due at (m - first - from) / speed wall milliseconds after the replay
// began. What the recording held before `from` is applied at once (each
// element's last value before it: the line as it stood at `from`). With
// `loop`, a pass ends when the recording did (its noted end, or its last
// change) and the next begins there: the line as it stood at `from` again,
// then the same changes. Changes come out in the recording's order, a time
// earlier than the one before it (two rounds' clocks) taken as that one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "record/recording_reader.h"

namespace fasim {

struct ReplaySettings {
  double speed = 1;              // 2: twice as fast
  bool loop = false;
  std::int64_t fromMillis = 0;   // from this far into the recording
};

class ReplaySchedule {
 public:
  // False with a reason: an empty recording, a `from` past its end, a
  // speed not above 0, a loop with no time in a pass.
  bool Prepare(const qel::record::Recording& recording, const ReplaySettings& settings, std::string& error);

  // The changes due by `elapsedMillis` since the replay began, in order;
  // each once.
  std::vector<qel::record::Change> TakeDue(double elapsedMillis);
  // When the next change is due, in wall milliseconds since the replay
  // began; none when the replay has ended (never with a loop).
  std::optional<double> NextDue() const;

  std::size_t Changes() const { return pass_.size(); }          // in one pass
  double PassMillis() const { return passMillis_ / speed_; }     // wall milliseconds a pass takes
  std::uint64_t Passes() const { return pass_index_; }           // passes begun before the current one

 private:
  struct Timed {
    double offset = 0;  // recording milliseconds after `from`
    qel::record::Change change;
  };
  std::vector<qel::record::Change> initial_;  // the line as it stood at `from`
  std::vector<Timed> pass_;
  double passMillis_ = 0;   // recording milliseconds
  double speed_ = 1;
  bool loop_ = false;
  std::uint64_t pass_index_ = 0;
  bool initialDone_ = false;
  std::size_t next_ = 0;
};

// "90", "90s", "1.5s", "500ms", "5m", "2h", "1h30m": a time into a
// recording, in milliseconds; false with a reason.
bool ParseReplayTime(const std::string& text, std::int64_t& millis, std::string& error);

}  // namespace fasim
