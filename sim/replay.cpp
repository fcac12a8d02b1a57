#include "replay.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <tuple>

#include "record/recording_reader.h"

namespace fasim {

Replayer::~Replayer() { Stop(); }

bool Replayer::Prepare(const Options& options, const Simulator& sim, std::string& error) {
  file_ = options.replayFile;
  settings_ = {options.replaySpeed, options.replayLoop, options.replayFromMillis};
  qel::record::Recording recording;
  if (!qel::record::ReadRecording(file_, recording, error)) return false;
  std::set<unsigned> missing;
  std::set<std::tuple<unsigned, std::string, unsigned>> elements;
  for (const qel::record::Change& change : recording.changes) {
    if (!options.stations.count(static_cast<int>(change.station))) {
      missing.insert(change.station);
      continue;
    }
    elements.insert({change.station, change.area, change.number});
  }
  if (!missing.empty()) {
    std::string list, flags;
    for (const unsigned station : missing) {
      list += (list.empty() ? "" : ", ") + std::to_string(station);
      flags += " --station " + std::to_string(station) + ":MODEL";
    }
    error = "the recording " + file_ + " has changes of station" + (missing.size() > 1 ? "s " : " ") + list +
            ", which fasim does not play: add" + flags;
    return false;
  }
  for (const auto& [station, area, number] : elements) {
    if (!sim.Get(static_cast<int>(station), area, number)) {
      error = "the recording " + file_ + " has changes of " + area + " " + std::to_string(number) + " of station " +
              std::to_string(station) + ", which its model here has not: is the station of another model?";
      return false;
    }
  }
  return schedule_.Prepare(recording, settings_, error);
}

std::string Replayer::Describe() const {
  char text[160];
  std::snprintf(text, sizeof text, "replaying %zu changes, a pass of %.3f s from %.3f s into the recording, at speed %g",
                schedule_.Changes(), schedule_.PassMillis() / 1000.0,
                static_cast<double>(settings_.fromMillis) / 1000.0, settings_.speed);
  return "fasim: " + file_ + ": " + text + (settings_.loop ? ", looping" : "");
}

void Replayer::Start(Simulator& sim, void (*report)(const std::string&)) {
  thread_ = std::thread([this, &sim, report] { Run(sim, report); });
}

void Replayer::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::uint64_t Replayer::Applied() const {
  std::lock_guard lock(mutex_);
  return applied_;
}

void Replayer::Run(Simulator& sim, void (*report)(const std::string&)) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  std::uint64_t passes = 0;
  for (;;) {
    const std::optional<double> next = schedule_.NextDue();
    if (!next) break;
    // Within what the clock's type holds, however slow the speed (a wait of
    // years is a wait without end here).
    const double millis = std::min(*next, 1e12);
    const auto at = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(millis));
    {
      std::unique_lock lock(mutex_);
      if (wake_.wait_until(lock, at, [this] { return stopping_; })) return;
    }
    const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    const std::vector<qel::record::Change> due = schedule_.TakeDue(elapsed);
    for (const qel::record::Change& change : due) sim.Set(static_cast<int>(change.station), change.area, change.number, change.value);
    {
      std::lock_guard lock(mutex_);
      applied_ += due.size();
    }
    if (schedule_.Passes() != passes) {
      passes = schedule_.Passes();
      if (report) report("fasim: replay: pass " + std::to_string(passes + 1) + " begins");
    }
  }
  if (report) report("fasim: replay: ended, " + std::to_string(Applied()) + " changes applied");
}

}  // namespace fasim
