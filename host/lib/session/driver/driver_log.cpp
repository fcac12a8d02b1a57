#include "session/driver/driver_log.h"

#include "kestan.h"
#include "session/report/report.h"

namespace qel::session {

namespace {

#if defined(_WIN32)
constexpr const char* kNullDevice = "NUL";
#else
constexpr const char* kNullDevice = "/dev/null";
#endif

// The driver logs on the host's calling thread, one call at a time.
// Enough for the messages of one exchange with all its retries.
constexpr std::size_t kKept = 200;

std::vector<std::string> memory;
bool echo = false;

extern "C" void Remember(int level, const char* message, void*) {
    if (echo) Report(Severity::DriverLog, std::to_string(level) + " " + message);
    if (memory.size() >= kKept) memory.erase(memory.begin());
    memory.emplace_back(message);
}

}  // namespace

bool RouteDriverLog(bool verbose, const std::string& logFile) {
    // The library writes every line to its file (stderr by default); the
    // sink sees each line as well and hands it on as a report for -v.
    echo = verbose;
    KestanSetSink(&Remember, nullptr);
    return KestanLogToFile(logFile.empty() ? kNullDevice : logFile.c_str()) == 0;
}

std::vector<std::string> DriverLogSince() {
    return memory;
}

void ForgetDriverLog() {
    memory.clear();
}

}  // namespace qel::session
