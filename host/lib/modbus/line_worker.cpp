#include "modbus/line_worker.h"

#include <modbus/modbus.h>

#include "modbus/gateway_log.h"

#include <string>

namespace qel::modbus {

namespace {

// A Modbus request on its way through the scheduler.
struct JobRequest : session::LineRequest {
    std::unique_ptr<Job> job;
};

// What the line gave, as the Modbus answer: values, written count, exception.
void Complete(JobRequest& request, const session::ReportSink& report) {
    Job& job = *request.job;
    if (job.exception != 0) return;
    const std::size_t reads = job.reads.size();
    for (std::size_t i = 0; i < reads && i < request.done; ++i) {
        const DriverRead& read = job.reads[i];
        for (const plan::GateSlot& slot : read.gates)
            job.values[slot.gate] = plan::GateValues(read, slot, request.exchanges[i].slots).front();
    }
    job.written = request.done > reads ? request.done - reads : 0;
    if (request.ok()) return;
    // Not run (the gateway is stopping) is answered as a line failure.
    const session::DriverResult result =
        request.outcome ? request.outcome->result : session::DriverResult::LineFailure;
    // 0x0B says the station did not respond: nothing came back (or its
    // station is held down, or the port is away). A station that answered
    // with less than a reply (short, garbled, a Nak) responded: 0x04.
    const session::FailureKind failure = request.failure();
    const bool silent = !request.outcome || failure == session::FailureKind::NoAnswer ||
                        failure == session::FailureKind::Down || failure == session::FailureKind::Port ||
                        (failure == session::FailureKind::None && result != session::DriverResult::Refused);
    job.exception = silent ? MODBUS_EXCEPTION_GATEWAY_TARGET : MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;
    if (request.outcome && request.current >= reads && request.current < request.exchanges.size() &&
        request.failure() != session::FailureKind::Down) {
        Log(report, session::Severity::Info, "write to unit %u at %u failed at %s (%s): %zu of %zu values were written; %s", job.modbus.unit,
            job.modbus.address, request.exchanges[request.current].gas.c_str(), session::DriverResultName(result),
            job.written, job.writes.size(), session::FailureKindText(request.failure()));
    }
}

}  // namespace

LineWorker::LineWorker(session::LineScheduler& line, session::ReportSink report)
    : line_(line), report_(std::move(report)) {}

void LineWorker::Start() { line_.Start(); }

bool LineWorker::Stop(std::chrono::milliseconds finishBegun) {
    // The scheduler's other callers' requests (the HTTP gate API's) are theirs to tell.
    const auto notDone = line_.Stop(finishBegun);
    std::vector<const JobRequest*> left;
    for (const auto& request : notDone)
        if (const auto* job = dynamic_cast<const JobRequest*>(request.get())) left.push_back(job);
    if (!left.empty()) Log(report_, session::Severity::Info, "%zu requests were not done", left.size());
    bool whole = true;
    for (const JobRequest* request : left) {
        const JobRequest& cut = *request;
        const Job& job = *cut.job;
        const std::size_t reads = job.reads.size();
        if (job.writes.empty() || cut.done <= reads) continue;
        whole = false;
        // The bound ran out inside a write: exactly which gates it reached.
        std::string written, notWritten;
        for (std::size_t i = 0; i < job.writes.size(); ++i)
            (reads + i < cut.done ? written : notWritten) += " " + job.writes[i].gate.gas;
        Log(report_, session::Severity::Info, "stopping inside the write to unit %u at %u: %zu of %zu values written, the gates:%s; not written:%s",
            job.modbus.unit, job.modbus.address, cut.done - reads, job.writes.size(), written.c_str(),
            notWritten.c_str());
    }
    return whole;
}

void LineWorker::Submit(std::unique_ptr<Job> job) {
    auto request = std::make_unique<JobRequest>();
    request->client = job->client;
    request->station = job->modbus.unit;
    // Already answered (an exception the server decided) still waits its
    // turn behind the client's earlier requests, without exchanges.
    if (job->exception != 0) {
        request->job = std::move(job);
        line_.Submit(std::move(request));
        return;
    }
    request->exchanges.reserve(job->reads.size() + job->writes.size());
    for (const DriverRead& read : job->reads) request->exchanges.push_back(session::LineExchange::Read(read));
    for (const DriverWrite& write : job->writes)
        request->exchanges.push_back(session::LineExchange::Write(write.gate, write.value));
    request->job = std::move(job);
    line_.Submit(std::move(request));
}

std::size_t LineWorker::DropClient(std::uint64_t client) {
    return line_.DropClient(client);
}

std::vector<std::unique_ptr<Job>> LineWorker::TakeFinished() {
    std::vector<std::unique_ptr<Job>> jobs;
    for (auto& finished : line_.TakeFinished()) {
        auto& request = static_cast<JobRequest&>(*finished);
        Complete(request, report_);
        jobs.push_back(std::move(request.job));
    }
    return jobs;
}

}  // namespace qel::modbus
