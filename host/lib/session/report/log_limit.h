// Log lines that a peer could repeat without end (refused requests, closes):
// at most `burst` lines per key in a window, then one line with the count of
// those left out when the window ends. Keys are the caller's ("'refused'
// from 10.0.0.7"); past `maxKeys` a new key shares the caller's shared key
// ("other keys" unless it names one). Not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace qel::session {

class LogLimit {
public:
    using Clock = std::chrono::steady_clock;
    using Sink = std::function<void(const std::string&)>;

    LogLimit(Sink sink, int burst, Clock::duration window, std::size_t maxKeys = 1024)
        : sink_(std::move(sink)), burst_(burst), window_(window), maxKeys_(maxKeys) {}

    // Logs the message unless this key's window had its burst; a new key
    // past `maxKeys` counts under `sharedKey`.
    void Line(const std::string& key, const std::string& message, Clock::time_point now,
              std::string_view sharedKey = "other keys");
    // Reports what was left out in the windows that ended by `now`.
    void Flush(Clock::time_point now);
    std::uint64_t Suppressed() const { return suppressedTotal_; }

private:
    struct Window {
        Clock::time_point start;
        int logged = 0;
        std::uint64_t suppressed = 0;
    };
    void Report(const std::string& key, const Window& window);

    Sink sink_;
    int burst_;
    Clock::duration window_;
    std::size_t maxKeys_;
    std::map<std::string, Window> windows_;
    std::uint64_t suppressedTotal_ = 0;
};

}  // namespace qel::session
