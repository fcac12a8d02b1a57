// What callers queue on the line scheduler: a request of one or more
// exchanges (reads and writes) for one station, and what became of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "session/driver/driver_result.h"
#include "session/driver/qel_session.h"
#include "session/line/scheduler_options.h"
#include "vuzorur.h"

namespace qel::plan {
struct Transfer;
}

namespace qel::session {

struct LineRequest;

// An exchange of a request, for the links of shared exchanges.
struct ExchangeLink {
    LineRequest* request = nullptr;
    std::size_t exchange = 0;
    explicit operator bool() const { return request != nullptr; }
};

// One read or write of a request.
struct LineExchange {
    bool write = false;
    GateTransfer transfer{};              // values point into `slots`
    std::vector<std::uint16_t> slots;     // slot 1 for one value, 0..count-1 for a block
    std::string gas;                      // the transfer's gas points here
    MaybeOutcome outcome;                 // none: not finished (not run, or retries to come)
    int attempts = 0;
    // Shared exchanges (line_decider.h): a read that joined another
    // request's queued read rides on it (`host`) and is answered with it
    // (`shared`); the read that others joined lists them (`riders`).
    ExchangeLink host;
    std::vector<ExchangeLink> riders;
    bool shared = false;  // answered by another request's exchange, not by a line exchange of its own
    double cost = 0;                      // predicted line time in ms (the planner's), 0: not predicted

    // A read of a checked gate; for a word or bit of its own `count` is 1.
    static LineExchange Read(const Gate& gate);
    static LineExchange Write(const Gate& gate, std::uint16_t value);
    // A read of the planner's transfer.
    static LineExchange Read(const plan::Transfer& planned);
    // Points the transfer's gas and values into this exchange (after a copy
    // or a move they point into the one copied from).
    void Aim();
    // The values read: the single value, or the block.
    std::vector<std::uint16_t> Values() const;
};

// What a caller queues: one or more exchanges for one station, run in order
// until one fails. A client's requests run in the order queued; different
// clients take turns exchange by exchange. Derive from it to carry a
// caller's own record through the queue.
struct LineRequest {
    virtual ~LineRequest() = default;
    std::uint64_t client = 0;
    unsigned station = 0;
    std::vector<LineExchange> exchanges;
    std::size_t inbox = 0;  // where it waits when finished (LineScheduler::OpenInbox)

    // Filled by the scheduler.
    MaybeOutcome outcome;                     // none while queued, and when handed back not run
    std::size_t done = 0;                     // exchanges that succeeded
    std::size_t current = 0;                  // the exchange under way
    SchedulerClock::time_point queued{};
    SchedulerClock::time_point notBefore{};   // the next attempt's earliest time
    bool waited = false;                      // synchronous caller waiting
    // Never answered from the line image: the reads that keep the image
    // fresh, and readers that stamp the values with the time they asked.
    bool fromLine = false;
    bool fromImage = false;                   // answered from the line image, without line time

    bool ok() const { return outcome && outcome->ok(); }
    // The failure of a finished request; None while not finished or done.
    FailureKind failure() const { return outcome ? outcome->failure : FailureKind::None; }
};

}  // namespace qel::session
