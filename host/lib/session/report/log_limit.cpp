#include "session/report/log_limit.h"

namespace qel::session {

void LogLimit::Report(const std::string& key, const Window& window) {
    if (window.suppressed == 0) return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(window_).count();
    sink_(std::to_string(window.suppressed) + " more lines of " + key + " were left out in " +
          std::to_string(seconds) + " s");
}

void LogLimit::Line(const std::string& key, const std::string& message, Clock::time_point now,
                    std::string_view sharedKey) {
    auto found = windows_.find(key);
    if (found != windows_.end() && now - found->second.start >= window_) {
        Report(found->first, found->second);
        windows_.erase(found);
        found = windows_.end();
    }
    if (found == windows_.end()) {
        const std::string shared = windows_.size() >= maxKeys_ ? std::string(sharedKey) : key;
        found = windows_.try_emplace(shared, Window{now, 0, 0}).first;
    }
    Window& window = found->second;
    if (window.logged < burst_) {
        ++window.logged;
        sink_(message);
    } else {
        ++window.suppressed;
        ++suppressedTotal_;
    }
}

void LogLimit::Flush(Clock::time_point now) {
    for (auto it = windows_.begin(); it != windows_.end();) {
        if (now - it->second.start < window_) {
            ++it;
            continue;
        }
        Report(it->first, it->second);
        it = windows_.erase(it);
    }
}

}  // namespace qel::session
