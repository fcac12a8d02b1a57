// The driver's answer to an operation, by name, and the outcome of a request
// or an exchange: the host side never passes the driver's bare integers on.
#pragma once

#include <optional>

#include "session/driver/failure_kind.h"
#include "vuzorur.h"

namespace qel::session {

enum class DriverResult : int {
    Done = QEL_RESULT_DONE,                // the operation was carried out
    Refused = QEL_RESULT_REFUSED,          // refused or illegal, or a reply that made no sense
    LineFailure = QEL_RESULT_LINE_FAILURE  // the port or the line failed; no answer
};

// The driver's integer, taken at the session boundary. Anything the driver
// does not give is a line failure: nothing was carried out.
constexpr DriverResult DriverResultOf(int code) {
    switch (code) {
        case QEL_RESULT_DONE: return DriverResult::Done;
        case QEL_RESULT_REFUSED: return DriverResult::Refused;
        default: return DriverResult::LineFailure;
    }
}

// "done", "refused", "line failure".
const char* DriverResultName(DriverResult result);

// What became of a request or an exchange that ran: the driver's result and,
// when it failed, why.
struct Outcome {
    DriverResult result = DriverResult::Done;
    FailureKind failure = FailureKind::None;

    bool ok() const { return result == DriverResult::Done; }
    friend bool operator==(const Outcome&, const Outcome&) = default;
};

// An outcome, or nothing while the request has not run.
using MaybeOutcome = std::optional<Outcome>;

}  // namespace qel::session
