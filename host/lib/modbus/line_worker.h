// The server's door to the line: Modbus requests become the line scheduler's
// requests (one per Modbus request, each of its driver reads and writes an
// exchange), and come back with their values or their exception. The
// scheduler gives each client its turn, exchange by exchange.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "modbus/job.h"
#include "session/line/line_scheduler.h"
#include "session/report/report.h"

namespace qel::modbus {

class LineWorker {
public:
    // report: where the worker tells what a stop left undone and where a
    // write failed part way.
    LineWorker(session::LineScheduler& line, session::ReportSink report);
    LineWorker(const LineWorker&) = delete;
    LineWorker& operator=(const LineWorker&) = delete;

    void Start();
    // Ends the scheduler's thread after the requests begun on the line are
    // finished (all their exchanges; for at most `finishBegun`); logs how
    // many requests were left unanswered, and of a write cut off by the
    // bound exactly which gates were written. True when none was cut off.
    bool Stop(std::chrono::milliseconds finishBegun = {});
    void Submit(std::unique_ptr<Job> job);
    // A client that does not read its answers: its requests wait (HoldClient).
    void Hold(std::uint64_t client, bool held) { line_.HoldClient(client, held); }
    // Forgets the requests of a client that went away that have not begun
    // (one begun runs to its end, unanswered, so that its station is judged);
    // how many were forgotten.
    std::size_t DropClient(std::uint64_t client);
    std::vector<std::unique_ptr<Job>> TakeFinished();
    // Readable while finished requests wait to be answered.
    int WakeFd() const { return line_.WakeFd(); }
    bool StationDown(unsigned station) const { return line_.StationDown(station); }

private:
    session::LineScheduler& line_;
    session::ReportSink report_;
};

}  // namespace qel::modbus
