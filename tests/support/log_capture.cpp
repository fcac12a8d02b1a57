#include "support/log_capture.h"

#include <algorithm>

#include "kestan.h"

namespace testsupport {

LogCapture::LogCapture() {
    KestanLogToFile("/dev/null");  // keep the suite's output readable
    KestanSetSink(&LogCapture::Sink, this);
}

LogCapture::~LogCapture() {
    KestanSetSink(nullptr, nullptr);
    KestanLogToFile(nullptr);
}

void LogCapture::Sink(int level, const char* message, void* context) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard lock(self->mutex_);
    self->lines_.push_back({level, message});
}

std::vector<LogLine> LogCapture::Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

void LogCapture::Clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

std::size_t LogCapture::Count(std::string_view text) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(lines_.begin(), lines_.end(), [&](const LogLine& l) { return l.text == text; }));
}

}  // namespace testsupport
