// The service manager's notifications (systemd's sd_notify): ready, alive,
// stopping. Each is a no-op when the program was not started by a manager
// that asked for them (no NOTIFY_SOCKET), or was built without libsystemd.
#pragma once

namespace qel::session {

// READY=1: the line is open and the listeners are bound.
void NotifyReady();
// WATCHDOG=1, at most once per half of the manager's WATCHDOG_USEC; call it
// from the loop whose progress it vouches for, as often as that loop turns.
// Thread-safe.
void NotifyWatchdog();
// The watchdog's pings at a fixed period (a quarter of the manager's
// WATCHDOG_USEC, at most a second) from a thread of its own, as long as the
// loop it watches shows progress: Progress() called within half the
// manager's period. A long exchange or a long queue is not a hang; a loop
// that stops turning for half the period is, and the pings stop. Without a
// manager's watchdog it does nothing.
class WatchdogPinger {
public:
    WatchdogPinger();
    ~WatchdogPinger();
    WatchdogPinger(const WatchdogPinger&) = delete;
    WatchdogPinger& operator=(const WatchdogPinger&) = delete;
    void Start();
    void Stop();
    // From the watched loop, each turn. Thread-safe.
    void Progress();

private:
    struct Impl;
    Impl* impl_;
};

// RELOADING=1: reading the configuration again; READY=1 follows when done.
void NotifyReloading();
// STOPPING=1: shutting down on request.
void NotifyStopping();

// The manager's watchdog period in microseconds; 0 when it asked for none.
unsigned long long WatchdogPeriodMicroseconds();

}  // namespace qel::session
