#include "replay_schedule.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <tuple>

namespace fasim {

namespace {

std::string Seconds(double millis) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", millis / 1000.0);
  return text;
}

}  // namespace

bool ReplaySchedule::Prepare(const qel::record::Recording& recording, const ReplaySettings& settings,
                             std::string& error) {
  *this = ReplaySchedule{};
  if (!(settings.speed > 0) || !std::isfinite(settings.speed)) {
    error = "the replay's speed must be above 0";
    return false;
  }
  if (recording.changes.empty()) {
    error = "the recording holds no changes";
    return false;
  }
  speed_ = settings.speed;
  loop_ = settings.loop;
  const std::int64_t first = recording.changes.front().millis;
  const double from = static_cast<double>(settings.fromMillis);
  double offset = 0;
  // Each element's last value before `from`, kept in the order last set.
  std::map<std::tuple<unsigned, std::string, unsigned>, std::size_t> before;
  std::vector<std::optional<qel::record::Change>> beforeOrder;
  for (const qel::record::Change& change : recording.changes) {
    offset = std::max(offset, static_cast<double>(change.millis - first));
    if (offset < from) {
      const auto key = std::make_tuple(change.station, change.area, change.number);
      if (const auto at = before.find(key); at != before.end()) beforeOrder[at->second].reset();
      before[key] = beforeOrder.size();
      beforeOrder.push_back(change);
      continue;
    }
    pass_.push_back({offset - from, change});
  }
  for (const auto& change : beforeOrder)
    if (change) initial_.push_back(*change);
  const double end = std::max(offset, static_cast<double>(recording.endedMillis - first));
  if (from > end) {
    error = "--from " + Seconds(from) + " is past the end of the recording (" + Seconds(end) + " long)";
    return false;
  }
  passMillis_ = end - from;
  if (loop_ && passMillis_ <= 0) {
    error = "nothing to loop: the recording spans no time after --from";
    return false;
  }
  return true;
}

std::optional<double> ReplaySchedule::NextDue() const {
  if (!initialDone_) return 0.0;
  const double passStart = static_cast<double>(pass_index_) * passMillis_;
  if (next_ < pass_.size()) return (passStart + pass_[next_].offset) / speed_;
  if (!loop_) return std::nullopt;
  return (passStart + passMillis_) / speed_;
}

std::vector<qel::record::Change> ReplaySchedule::TakeDue(double elapsedMillis) {
  std::vector<qel::record::Change> due;
  const double now = elapsedMillis * speed_;  // recording milliseconds after `from`
  for (;;) {
    if (!initialDone_) {
      due.insert(due.end(), initial_.begin(), initial_.end());
      initialDone_ = true;
    }
    const double passStart = static_cast<double>(pass_index_) * passMillis_;
    while (next_ < pass_.size() && passStart + pass_[next_].offset <= now) due.push_back(pass_[next_++].change);
    if (next_ < pass_.size() || !loop_ || passStart + passMillis_ > now) return due;
    // The pass is over: the next one begins where it ended.
    ++pass_index_;
    // Passes missed whole (a process stopped for a while) are skipped.
    if (const auto current = static_cast<std::uint64_t>(now / passMillis_); current > pass_index_) pass_index_ = current;
    next_ = 0;
    initialDone_ = false;
  }
}

bool ParseReplayTime(const std::string& text, std::int64_t& millis, std::string& error) {
  error = "expected a time into the recording: 90, 90s, 1.5s, 500ms, 5m, 2h or 1h30m";
  if (text.empty()) return false;
  double total = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t digits = at;
    while (digits < text.size() && (std::isdigit(static_cast<unsigned char>(text[digits])) || text[digits] == '.'))
      ++digits;
    if (digits == at) return false;
    const std::string number = text.substr(at, digits - at);
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size()) return false;
    std::size_t unitEnd = digits;
    while (unitEnd < text.size() && std::isalpha(static_cast<unsigned char>(text[unitEnd]))) ++unitEnd;
    const std::string unit = text.substr(digits, unitEnd - digits);
    double scale = 0;
    if (unit.empty() || unit == "s") scale = 1000;
    else if (unit == "ms") scale = 1;
    else if (unit == "m") scale = 60000;
    else if (unit == "h") scale = 3600000;
    else return false;
    if (unit.empty() && unitEnd != text.size()) return false;
    total += value * scale;
    at = unitEnd;
  }
  if (!std::isfinite(total) || total > 1e15) return false;
  millis = static_cast<std::int64_t>(std::llround(total));
  error.clear();
  return true;
}

}  // namespace fasim
