#include "modbus/gateway_log.h"

#include <cstdarg>
#include <cstdio>

namespace qel::modbus {

void Log(const char* format, ...) {
    char message[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "qelgate: %s\n", message);  // one call: lines from two threads do not mix
}

void ClientLog::Report(const std::string& key, const Window& window) {
    if (window.suppressed == 0) return;
    Log("%llu more lines of %s were left out in %lld s", static_cast<unsigned long long>(window.suppressed),
        key.c_str(), static_cast<long long>(kWindow.count()));
}

void ClientLog::Line(const std::string& host, const char* reason, const std::string& message) {
    const auto now = Clock::now();
    std::string key = std::string("'") + reason + "' from " + host;
    auto found = windows_.find(key);
    if (found != windows_.end() && now - found->second.start >= kWindow) {
        Report(found->first, found->second);
        windows_.erase(found);
        found = windows_.end();
    }
    if (found == windows_.end()) {
        // Many hosts at once share one window, so the table stays small.
        if (windows_.size() >= kMaxKeys) key = std::string("'") + reason + "' from other hosts";
        found = windows_.try_emplace(key, Window{now, 0, 0}).first;
    }
    Window& window = found->second;
    if (window.logged < kBurst) {
        ++window.logged;
        Log("%s", message.c_str());
    } else {
        ++window.suppressed;
        ++suppressedTotal_;
    }
}

void ClientLog::Flush(Clock::time_point now) {
    for (auto it = windows_.begin(); it != windows_.end();) {
        if (now - it->second.start < kWindow) {
            ++it;
            continue;
        }
        Report(it->first, it->second);
        it = windows_.erase(it);
    }
}

}  // namespace qel::modbus
