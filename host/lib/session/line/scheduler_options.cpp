#include "session/line/scheduler_options.h"

namespace qel::session {

SchedulerOptions SchedulerOptionsFor(const SessionOptions& session) {
    SchedulerOptions options;
    options.driverRetries = session.driverRetries;
    options.probeTimeout = Millis(session.probeTimeoutMs);
    options.timeout = Millis(10LL * session.line.timeout);
    return options;
}

}  // namespace qel::session
