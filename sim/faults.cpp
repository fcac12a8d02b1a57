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
  auto note = [&](FaultEvent::Kind kind, std::size_t offset, char from, char to) {
    if (recording_) events_.push_back({kind, isEcho, station_, bytes, offset, from, to});
  };
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    if (Chance(settings_.dropRate)) {
      note(FaultEvent::Kind::Drop, i, c, 0);
      continue;
    }
    if (Chance(settings_.corruptRate)) {
      const char was = c;
      if (settings_.corruptAs == CorruptAs::Nul && c != 0) {
        c = 0;
      } else {
        const auto mask = static_cast<unsigned char>(1 + Next() % 255);
        c = static_cast<char>(static_cast<unsigned char>(c) ^ mask);
      }
      note(FaultEvent::Kind::Corrupt, i, was, c);
    }
    out += c;
    if (Chance(settings_.insertRate)) {
      const char extra = static_cast<char>(Next() & 0xFFu);
      note(FaultEvent::Kind::Insert, i, 0, extra);
      out += extra;
    }
  }
  if (changed) *changed = out != bytes;
  return out;
}

bool FaultInjector::InjectNak() { return Chance(settings_.nakRate); }

std::vector<FaultEvent> FaultInjector::TakeEvents() {
  std::vector<FaultEvent> taken;
  taken.swap(events_);
  return taken;
}

void FaultInjector::Note(FaultEvent event) {
  event.station = station_;
  if (recording_) events_.push_back(std::move(event));
}

bool FaultInjector::ReplyLate() { return Chance(settings_.lateRate); }

}  // namespace fasim
