// What the line scheduler asks of the line: one attempt of an exchange, one
// probe of a station, reopening the port. DriverAttempts (driver_attempts.h)
// does it through the driver; tests put a line of their own underneath.
// Called on the scheduler's thread only, one call at a time.
#pragma once

#include <chrono>
#include <string>

#include "session/driver/driver_result.h"
#include "session/line/line_request.h"
#include "session/line/line_stats.h"
#include "session/line/scheduler_options.h"

namespace qel::session {

// The outcome of one attempt: an Outcome, and the line time it took.
struct AttemptOutcome : Outcome {
    std::chrono::duration<double> took{0};
};

class AttemptRunner {
public:
    virtual ~AttemptRunner() = default;
    // One attempt of the exchange, its reply awaited at most `timeout`;
    // read values land in the exchange's slots.
    virtual AttemptOutcome Exchange(LineExchange& exchange, Millis timeout) = 0;
    // One short read of the station: does it answer at all?
    virtual AttemptOutcome Probe(unsigned station, Millis timeout) = 0;
    // Closes the port and opens it again: whether it is open.
    virtual bool Reopen() = 0;
    // Why the last Reopen failed, in words (the device's own reason); empty
    // when there is nothing to add.
    virtual std::string WhyReopenFailed() const { return {}; }

    // For the counters: the station's model text (asked once, when the
    // scheduler is made) and how its block replies are judged (asked by
    // Snapshot, from any thread).
    virtual std::string StationModel(unsigned station) const = 0;
    virtual BlockCheck TrailerCheck(unsigned station) const = 0;
};

}  // namespace qel::session
