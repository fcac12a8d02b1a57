// fasim --replay: a recording's changes applied to the stations' memory at
// their times (replay_schedule.h), on a thread of its own, from the moment
// the line is attached. Everything the recording names is checked before
// the line opens: a station fasim does not play, or an element its model
// has not, is an error then, never a change that silently goes nowhere.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "fasim.h"
#include "replay_schedule.h"

namespace fasim {

class Replayer {
 public:
  Replayer() = default;
  ~Replayer();
  Replayer(const Replayer&) = delete;
  Replayer& operator=(const Replayer&) = delete;

  // Reads the recording and checks it against the simulator's stations;
  // false with a reason.
  bool Prepare(const Options& options, const Simulator& sim, std::string& error);
  // One line for the log: what is replayed, how.
  std::string Describe() const;
  // Begins now; `report` gets a line when a pass ends.
  void Start(Simulator& sim, void (*report)(const std::string&));
  void Stop();
  std::uint64_t Applied() const;

 private:
  void Run(Simulator& sim, void (*report)(const std::string&));

  std::string file_;
  ReplaySettings settings_;
  ReplaySchedule schedule_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::uint64_t applied_ = 0;
  std::thread thread_;
};

}  // namespace fasim
