#include "read_retries.h"

#include <atomic>
#include <cstring>

#include "kestan.h"

namespace qel::qelhost {

namespace {
std::atomic<int> retries{0};

extern "C" void CountRetry(int, const char* message, void*) {
    if (std::strncmp(message, "DAVEV: Gate ", 12) == 0 && std::strstr(message, ", Read Retry ") != nullptr) {
        retries.fetch_add(1);
    }
}
}  // namespace

void CountReadRetries() {
    // A sink of its own, beside whatever else watches the driver's messages.
    static const bool added = KestanAddSink(&CountRetry, nullptr) == 0;
    (void)added;
}

int TakeReadRetries() { return retries.exchange(0); }

}  // namespace qel::qelhost
