#include "read_retries.h"

#include <atomic>
#include <cstring>

#include "kestan.h"

namespace qelhost {

namespace {
std::atomic<int> retries{0};

extern "C" void CountRetry(int, const char* message, void*) {
    if (std::strncmp(message, "DAVEV: Gate ", 12) == 0 && std::strstr(message, ", Read Retry ") != nullptr) {
        retries.fetch_add(1);
    }
}
}  // namespace

void CountReadRetries() { KestanSetSink(&CountRetry, nullptr); }

int TakeReadRetries() { return retries.exchange(0); }

}  // namespace qelhost
