#include "session/driver_log.h"

#include <cstdio>

#include "kestan.h"

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
bool echoToStderr = false;

extern "C" void Remember(int level, const char* message, void*) {
    if (echoToStderr) std::fprintf(stderr, "%d %s\n", level, message);
    if (memory.size() >= kKept) memory.erase(memory.begin());
    memory.emplace_back(message);
}

}  // namespace

bool RouteDriverLog(bool verbose, const std::string& logFile) {
    // The library writes every line to its file (stderr by default); the
    // sink sees each line as well and echoes it to stderr for -v.
    echoToStderr = verbose;
    KestanSetSink(&Remember, nullptr);
    return KestanLogToFile(logFile.empty() ? kNullDevice : logFile.c_str()) == 0;
}

std::vector<std::string> DriverLogSince() {
    return memory;
}

void ForgetDriverLog() {
    memory.clear();
}

bool DriverLogged(const char* text) {
    for (const std::string& line : memory) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

}  // namespace qel::session
