#include "session/line/driver_attempts.h"

#include <algorithm>
#include <cstdio>
#include <span>

#include "session/gates/gate_address.h"
#include "session/diagnosis/port_diagnosis.h"
#include "session/driver/driver_log.h"
#include "session/report/report.h"

namespace qel::session {

namespace {

FailureKind KindOf(std::int32_t failure) {
    if (failure < 0 || failure > QEL_FAILURE_PORT) return FailureKind::Port;
    return static_cast<FailureKind>(failure);
}

std::span<const std::uint8_t> TrailerOf(const QelAttempt& attempt) {
    return {attempt.trailer, static_cast<std::size_t>(std::clamp(attempt.trailerLength, 0, QEL_TRAILER_SIZE))};
}

}  // namespace

DriverAttempts::DriverAttempts(QelSession& line, bool driverRetries, ReportSink report)
    : line_(line),
      driverRetries_(driverRetries),
      trailers_([report = std::move(report)](const std::string& text) { Report(report, Severity::Info, text); }) {}

AttemptOutcome DriverAttempts::Exchange(LineExchange& exchange, Millis timeout) {
    exchange.Aim();
    AttemptOutcome outcome;
    const SchedulerClock::time_point start = SchedulerClock::now();
    if (driverRetries_) {
        const std::int32_t operation =
            exchange.write ? QEL_WRITE : exchange.transfer.count == 1 ? QEL_READ : QEL_READ_BLOCK;
        TakeDriverReadRetries();
        outcome.result = DriverResultOf(line_.Request(operation, &exchange.transfer));
        // The driver's own attempts beyond the first count as this exchange's.
        exchange.attempts += TakeDriverReadRetries();
        outcome.failure = outcome.result == DriverResult::Done      ? FailureKind::None
                          : outcome.result == DriverResult::Refused ? FailureKind::Malformed
                                                                    : FailureKind::NoAnswer;
    } else {
        QelAttempt attempt{};
        attempt.transfer = &exchange.transfer;
        attempt.timeoutMs = static_cast<std::int32_t>(timeout.count());
        outcome.result = DriverResultOf(line_.Request(exchange.write ? QEL_WRITE_ATTEMPT : QEL_READ_ATTEMPT, &attempt));
        outcome.failure = outcome.ok()                          ? FailureKind::None
                          : attempt.failure == QEL_FAILURE_NONE ? FailureKind::Refused
                                                                : KindOf(attempt.failure);
        if (outcome.ok() && !exchange.write && (attempt.trailerLength > 0 || exchange.transfer.count > 1)) {
            // The one place a block reply's trailer is judged: a trailer that
            // breaks the station's learned rule makes this a failed attempt.
            const unsigned station = exchange.transfer.station;
            if (HasBlockReply(line_.StationModel(station), exchange.transfer)) {
                const bool judged = trailers_.Judges(station);
                if (!trailers_.Accept(station, exchange.transfer, TrailerOf(attempt)) ||
                    (!judged && !trailers_.Judges(station) && trailers_.Check(station) == BlockCheck::Learning &&
                     exchange.transfer.count > 1 && !Confirmed(exchange, timeout))) {
                    outcome.result = DriverResult::Refused;
                    outcome.failure = FailureKind::Trailer;
                }
            }
        }
    }
    outcome.took = SchedulerClock::now() - start;
    return outcome;
}

bool DriverAttempts::Confirmed(const LineExchange& exchange, Millis timeout) {
    // A block that no trailer judged, while the station's rule is still
    // unknown, is served only when a second read gives the same values. (A
    // single value cannot shift into another: a character lost or gained
    // leaves it short, or shows in the trailer's length.)
    LineExchange again = exchange;
    std::ranges::fill(again.slots, std::uint16_t{0});
    again.Aim();
    QelAttempt attempt{};
    attempt.transfer = &again.transfer;
    attempt.timeoutMs = static_cast<std::int32_t>(timeout.count());
    if (DriverResultOf(line_.Request(QEL_READ_ATTEMPT, &attempt)) != DriverResult::Done) return false;
    return trailers_.Accept(again.transfer.station, again.transfer, TrailerOf(attempt)) &&
           again.Values() == exchange.Values();
}

AttemptOutcome DriverAttempts::Probe(unsigned station, Millis timeout) {
    // One read of the station's first data register, as short as the line allows.
    Gate gate;
    gate.gas = GateAddress{station, "DR", 0}.Format();
    gate.dataType = DATA_TYPE_WORD;
    if (line_.Check(gate) != DriverResult::Done) {
        return {DriverResult::Refused, FailureKind::Refused, {}};
    }
    LineExchange exchange = LineExchange::Read(gate);
    return Exchange(exchange, timeout);
}

std::string DriverAttempts::WhyReopenFailed() const {
    // The driver says no more than that it failed: the device says why.
    const DriverWorkspace* workspace = line_.Workspace();
    return ExplainOpenFailure(workspace != nullptr ? std::string(workspace->port.portName) : std::string());
}

bool DriverAttempts::Reopen() {
    line_.Request(QEL_CLOSE_PORT, nullptr);
    return DriverResultOf(line_.Request(QEL_OPEN_PORT, nullptr)) == DriverResult::Done;
}

std::string DriverAttempts::StationModel(unsigned station) const { return line_.StationModel(station); }

BlockCheck DriverAttempts::TrailerCheck(unsigned station) const { return trailers_.Check(station); }

}  // namespace qel::session
