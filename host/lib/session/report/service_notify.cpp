#include "session/report/service_notify.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
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

struct WatchdogPinger::Impl {
    std::atomic<std::int64_t> progress{0};  // steady-clock microseconds
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};

WatchdogPinger::WatchdogPinger() : impl_(new Impl) {}

WatchdogPinger::~WatchdogPinger() {
    Stop();
    delete impl_;
}

void WatchdogPinger::Progress() { impl_->progress.store(NowMicroseconds(), std::memory_order_relaxed); }

void WatchdogPinger::Start() {
    const unsigned long long manager = WatchdogPeriodMicroseconds();
    if (manager == 0 || impl_->thread.joinable()) return;
    Progress();
    impl_->stopping = false;
    impl_->thread = std::thread([this, manager] {
        const auto period = std::chrono::microseconds(std::min<unsigned long long>(manager / 4, 1000000));
        // Longer than the loop's idle turn (a second) even for a short
        // WatchdogSec, and short enough that the manager sees a hang.
        const auto hang = static_cast<std::int64_t>(manager * 3 / 4);
        std::unique_lock lock(impl_->mutex);
        while (!impl_->stopping) {
            if (NowMicroseconds() - impl_->progress.load(std::memory_order_relaxed) < hang) {
                lastPing.store(NowMicroseconds());
                Send("WATCHDOG=1");
            }
            impl_->wake.wait_for(lock, period, [this] { return impl_->stopping; });
        }
    });
}

void WatchdogPinger::Stop() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->wake.notify_all();
    if (impl_->thread.joinable()) impl_->thread.join();
}

}  // namespace qel::session
