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
// RELOADING=1: reading the configuration again; READY=1 follows when done.
void NotifyReloading();
// STOPPING=1: shutting down on request.
void NotifyStopping();

// The manager's watchdog period in microseconds; 0 when it asked for none.
unsigned long long WatchdogPeriodMicroseconds();

}  // namespace qel::session
