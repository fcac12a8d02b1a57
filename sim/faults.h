// Seeded, reproducible fault injection: dropped, corrupted and inserted
// bytes in what the simulator sends, injected Naks and late replies. Every
// decision draws from one generator in the order the bytes are processed,
// so the same seed and the same input give the same faults.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fasim.h"

namespace fasim {

class FaultInjector {
 public:
  explicit FaultInjector(const FaultSettings& settings);

  // Applies the byte faults to bytes about to be sent; `isEcho` tells which
  // switch (faultEcho / faultReply) governs them. Sets *changed when the
  // output differs from the input.
  std::string Apply(const std::string& bytes, bool isEcho, bool* changed = nullptr);
  bool InjectNak();   // once per request frame a station would answer
  bool ReplyLate();   // once per reply
  // While on, every fault is kept as a FaultEvent until taken; `station` is
  // the station the next faults concern.
  void Record(bool on) { recording_ = on; }
  void At(int station) { station_ = station; }
  std::vector<FaultEvent> TakeEvents();
  void Note(FaultEvent event);
  unsigned lateMs() const { return settings_.lateMs; }
  const FaultSettings& settings() const { return settings_; }

 private:
  bool Chance(double p);
  std::uint64_t Next() { return rng_(); }

  FaultSettings settings_;
  std::mt19937_64 rng_;
  bool recording_ = false;
  int station_ = -1;
  std::vector<FaultEvent> events_;
};

}  // namespace fasim
