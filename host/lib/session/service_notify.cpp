#include "session/service_notify.h"

#include <atomic>
#include <chrono>
#include <cstdint>

#ifdef QELHOST_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace qel::session {

namespace {

#ifdef QELHOST_HAVE_SYSTEMD
void Send(const char* state) { sd_notify(0, state); }

unsigned long long ReadWatchdogPeriod() {
    std::uint64_t usec = 0;
    return sd_watchdog_enabled(0, &usec) > 0 ? usec : 0;
}
#else
void Send(const char*) {}
unsigned long long ReadWatchdogPeriod() { return 0; }
#endif

std::int64_t NowMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Steady-clock microseconds of the last ping; the first call always pings.
std::atomic<std::int64_t> lastPing{INT64_MIN / 2};

}  // namespace

unsigned long long WatchdogPeriodMicroseconds() {
    static const unsigned long long period = ReadWatchdogPeriod();
    return period;
}

void NotifyReady() { Send("READY=1"); }

void NotifyReloading() { Send("RELOADING=1"); }

void NotifyStopping() { Send("STOPPING=1"); }

void NotifyWatchdog() {
    const unsigned long long period = WatchdogPeriodMicroseconds();
    if (period == 0) return;
    const std::int64_t now = NowMicroseconds();
    std::int64_t last = lastPing.load();
    if (now - last < static_cast<std::int64_t>(period / 2)) return;
    // One thread wins the turn; the others have nothing to add.
    if (lastPing.compare_exchange_strong(last, now)) Send("WATCHDOG=1");
}

}  // namespace qel::session
