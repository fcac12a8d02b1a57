#include "session/driver/driver_log.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

#include "kestan.h"

namespace qel::session {

namespace {

#if defined(_WIN32)
constexpr const char* kNullDevice = "NUL";
#else
constexpr const char* kNullDevice = "/dev/null";
#endif

// The driver's own texts this room reads a fact from.
constexpr const char kVersionHead[] = "DAVEV: ver. compiled on ";
constexpr const char kRetryHead[] = "DAVEV: Gate ";
constexpr const char kRetryMark[] = ", Read Retry ";

// Several threads call the driver (one line scheduler each, and the gate
// checks): the route and the stamp are guarded.
std::mutex routeMutex;
bool echo = false;
ReportSink echoSink;
std::string buildStamp;
std::atomic<bool> routed{false};
thread_local int readRetries = 0;

extern "C" void Remember(int level, const char* message, void*) {
    if (std::strncmp(message, kRetryHead, sizeof kRetryHead - 1) == 0 && std::strstr(message, kRetryMark) != nullptr)
        ++readRetries;
    std::lock_guard lock(routeMutex);
    if (std::strncmp(message, kVersionHead, sizeof kVersionHead - 1) == 0)
        buildStamp = message + (sizeof kVersionHead - 1);
    if (echo) Report(echoSink, Severity::DriverLog, std::to_string(level) + " " + message);
}

}  // namespace

bool RouteDriverLog(bool verbose, const std::string& logFile, ReportSink sink) {
    {
        std::lock_guard lock(routeMutex);
        echo = verbose;
        echoSink = std::move(sink);
    }
    routed.store(true);
    KestanSetSink(&Remember, nullptr);
    return KestanLogToFile(logFile.empty() ? kNullDevice : logFile.c_str()) == 0;
}

void QuietDriverLogUnlessRouted() {
    if (routed.exchange(true)) return;
    KestanSetSink(&Remember, nullptr);
    KestanLogToFile(kNullDevice);
}

std::string DriverBuildStamp() {
    std::lock_guard lock(routeMutex);
    return buildStamp;
}

int TakeDriverReadRetries() { return std::exchange(readRetries, 0); }

}  // namespace qel::session
