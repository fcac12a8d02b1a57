#include "faults.h"

namespace fasim {

FaultInjector::FaultInjector(const FaultSettings& settings) : settings_(settings), rng_(settings.seed) {}

bool FaultInjector::Chance(double p) {
  if (p <= 0) return false;
  // 53 random bits as a double in [0, 1): identical on every platform.
  const double u = static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0);
  return u < p;
}

std::string FaultInjector::Apply(const std::string& bytes, bool isEcho, bool* changed) {
  if (changed) *changed = false;
  if (isEcho ? !settings_.faultEcho : !settings_.faultReply) return bytes;
  std::string out;
  out.reserve(bytes.size() + 2);
  for (char c : bytes) {
    if (Chance(settings_.dropRate)) continue;
    if (Chance(settings_.corruptRate)) {
      const auto mask = static_cast<unsigned char>(1 + Next() % 255);
      c = static_cast<char>(static_cast<unsigned char>(c) ^ mask);
    }
    out += c;
    if (Chance(settings_.insertRate)) out += static_cast<char>(Next() & 0xFFu);
  }
  if (changed) *changed = out != bytes;
  return out;
}

bool FaultInjector::InjectNak() { return Chance(settings_.nakRate); }

bool FaultInjector::ReplyLate() { return Chance(settings_.lateRate); }

}  // namespace fasim
