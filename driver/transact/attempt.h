// One attempt of a read or write exchange, and the attempt loop of the
// transactions: the bookkeeping of the station selection and of the retries,
// written once for the read, the write and the one-attempt operations.
#pragma once

#include <cstdint>
#include <span>

#include "base/result.h"
#include "serial/line.h"
#include "serial/serial_port.h"
#include "transact/exchange.h"
#include "vuzorur.h"

namespace qel {

// What one attempt gave: the result the transaction would return for it, and
// why it failed (FAILURE_NONE on success).
struct Attempt {
    Result result = RESULT_LINE_FAILURE;
    Failure failure = FAILURE_NONE;
};

// One pass of the attempt loop: the station selection when the station is
// not the last one addressed (its frame in `selectArea`), then `exchange`,
// called as Result(Failure* why). An attempt whose selection failed, or that
// got no full answer, forgets the selection: a controller that missed its
// SelectStation is not selected. lastStation is otherwise left to
// FinishTransaction.
template <typename Exchange>
Attempt RunAttempt(DriverWorkspace& workspace, std::uint32_t station, std::span<std::uint8_t> selectArea,
                   Exchange&& exchange) {
    Attempt attempt;
    attempt.result = SelectStationIfNeeded(workspace, station, selectArea, &attempt.failure);
    const bool selected = attempt.result == RESULT_DONE;
    if (selected) attempt.result = exchange(&attempt.failure);
    if (attempt.result == RESULT_DONE) {
        attempt.failure = FAILURE_NONE;
    } else if (!selected || attempt.result == RESULT_LINE_FAILURE) {
        ForgetSelection(workspace);
    }
    return attempt;
}

// After the attempts: the station stays selected after success; a failed
// transaction forgets it, so that the next one selects again.
inline void FinishTransaction(DriverWorkspace& workspace, std::uint32_t station, Result result) {
    if (result == RESULT_DONE) {
        workspace.lastStation = static_cast<std::uint16_t>(station);
    } else {
        ForgetSelection(workspace);
    }
}

// The transactions' loop: up to MAX_ATTEMPTS attempts until one succeeds;
// before each further attempt a purge, `onRetry(attempt number)` and the
// pause of RETRY_PAUSE_MS. The last attempt's outcome.
template <typename Exchange, typename OnRetry>
Attempt RunAttempts(DriverWorkspace& workspace, std::uint32_t station, std::span<std::uint8_t> selectArea,
                    Exchange&& exchange, OnRetry&& onRetry) {
    Attempt attempt;
    for (int number = 0; number < MAX_ATTEMPTS; ++number) {
        if (number > 0) {
            PurgeInput(workspace);
            onRetry(number);
            PauseMs(RETRY_PAUSE_MS);
        }
        attempt = RunAttempt(workspace, station, selectArea, exchange);
        if (attempt.result == RESULT_DONE) break;
    }
    FinishTransaction(workspace, station, attempt.result);
    return attempt;
}

// The shortest read time-out that lets `characters` arrive at the port's
// line settings, in ms: 20 ms plus their time on the line (start bit, data
// bits, parity bit, stop bits).
std::uint32_t AnswerTimeFloorMs(const PortSettings& port, std::uint32_t characters);

// Gives the workspace's readTimeout the value for one attempt (ms, rounded up
// to 10 ms units) for as long as it lives, then puts the workspace's value
// back, on the port as well.
class AttemptTimeout {
public:
    AttemptTimeout(DriverWorkspace& workspace, std::uint32_t milliseconds);
    ~AttemptTimeout();
    AttemptTimeout(const AttemptTimeout&) = delete;
    AttemptTimeout& operator=(const AttemptTimeout&) = delete;

private:
    DriverWorkspace& workspace_;
    std::int32_t saved_;
};

}  // namespace qel
