// The gateway's own messages: one line each on stderr, "qelgate: ...".
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace qel::modbus {

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Lines about clients (connects, closes, evictions, refusals) that one
// client could repeat without end: at most kBurst lines per client host and
// reason in a window, then one line with the count of those left out.
class ClientLog {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kBurst = 5;
    static constexpr std::chrono::seconds kWindow{60};
    static constexpr std::size_t kMaxKeys = 1024;

    // host: the client's address without the port; reason: a short fixed
    // text that names the kind of line ("connected", "idle", ...).
    void Line(const std::string& host, const char* reason, const std::string& message);
    // Reports what was left out in windows that have ended.
    void Flush(Clock::time_point now);
    void Flush() { Flush(Clock::now()); }
    // Lines left out in total.
    std::uint64_t Suppressed() const { return suppressedTotal_; }

private:
    struct Window {
        Clock::time_point start;
        int logged = 0;
        std::uint64_t suppressed = 0;
    };
    static void Report(const std::string& key, const Window& window);
    std::map<std::string, Window> windows_;  // "host reason"
    std::uint64_t suppressedTotal_ = 0;
};

}  // namespace qel::modbus
