#include "session/line/scheduler_options.h"

namespace qel::session {

SchedulerOptions SchedulerOptionsFor(const SessionOptions& session) {
    SchedulerOptions options;
    options.driverRetries = session.driverRetries;
    options.retryPause = kRetryPause;
    options.probeTimeout = Millis(session.probeTimeoutMs);
    options.timeout = Millis(10LL * session.line.timeout);
    // A program that names its stations itself (a gate list, a call) asks
    // for no phantom: every station it asks for is one it means. The gateway,
    // which any client may ask for any unit, narrows this to what its
    // options name.
    options.expected.set();
    return options;
}

}  // namespace qel::session
