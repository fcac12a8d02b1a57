// Records what the driver logs through the host library while it lives.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

struct LogLine {
    int level;
    std::string text;
    bool operator==(const LogLine&) const = default;
};

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> Lines() const;
    void Clear();
    // How many lines have exactly this text.
    std::size_t Count(std::string_view text) const;

private:
    static void Sink(int level, const char* message, void* context);
    mutable std::mutex mutex_;
    std::vector<LogLine> lines_;
};

}  // namespace testsupport
