// The gateway's own messages: one line each on stderr, "qelgate: ...".
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "session/report/log_limit.h"

namespace qel::modbus {

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Lines about clients (connects, closes, evictions, refusals) that one
// client could repeat without end: at most kBurst lines per client host and
// reason in a window, then one line with the count of those left out. The
// session's LogLimit does the counting; its lines go to Log.
class ClientLog {
public:
    using Clock = session::LogLimit::Clock;
    static constexpr int kBurst = 5;
    static constexpr std::chrono::seconds kWindow{60};
    static constexpr std::size_t kMaxKeys = 1024;

    // host: the client's address without the port; reason: a short fixed
    // text that names the kind of line ("connected", "idle", ...).
    void Line(const std::string& host, const char* reason, const std::string& message);
    // Reports what was left out in windows that have ended.
    void Flush(Clock::time_point now) { limit_.Flush(now); }
    void Flush() { Flush(Clock::now()); }
    // Lines left out in total.
    std::uint64_t Suppressed() const { return limit_.Suppressed(); }

private:
    // Keys "'reason' from host"; many hosts at once share one window per
    // reason, so the table stays small.
    session::LogLimit limit_{[](const std::string& line) { Log("%s", line.c_str()); }, kBurst, kWindow, kMaxKeys};
};

}  // namespace qel::modbus
