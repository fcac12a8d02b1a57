// The line scheduler's attempts through the driver: QEL_READ_ATTEMPT and
// QEL_WRITE_ATTEMPT with the scheduler's time-out, or, with driverRetries,
// the plain operations (QEL_READ, QEL_READ_BLOCK, QEL_WRITE) and the
// driver's own attempts. A block reply's trailer is judged here
// (BlockTrailers): one that breaks its station's learned rule makes a
// failed attempt, and while the rule is unknown a block that no trailer
// judged is read a second time and fails unless both reads agree.
#pragma once

#include <string>

#include "session/line/attempt_runner.h"
#include "session/line/block_trailers.h"
#include "session/driver/qel_session.h"
#include "session/report/report.h"

namespace qel::session {

class DriverAttempts final : public AttemptRunner {
public:
    // report: where a learned or broken block trailer is told.
    DriverAttempts(QelSession& line, bool driverRetries, ReportSink report = {});

    AttemptOutcome Exchange(LineExchange& exchange, Millis timeout) override;
    // One read of the station's DR0000.
    AttemptOutcome Probe(unsigned station, Millis timeout) override;
    // QEL_CLOSE_PORT, QEL_OPEN_PORT.
    bool Reopen() override;
    std::string WhyReopenFailed() const override;
    std::string StationModel(unsigned station) const override;
    BlockCheck TrailerCheck(unsigned station) const override;

private:
    // A second read of a block that no trailer judged gives the same values.
    bool Confirmed(const LineExchange& exchange, Millis timeout);

    QelSession& line_;
    bool driverRetries_;
    // Each station's block trailer, learned and judged on the line's thread.
    BlockTrailers trailers_;
};

}  // namespace qel::session
