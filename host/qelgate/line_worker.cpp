#include "line_worker.h"

#include <modbus/modbus.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

#include "gateway_log.h"

namespace qelgate {

LineWorker::LineWorker(qelhost::QelSession& line, DownHold& hold)
    : line_(line), hold_(hold), wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

LineWorker::~LineWorker() {
    Stop();
    if (wakeFd_ >= 0) close(wakeFd_);
}

void LineWorker::Start() { thread_ = std::thread([this] { Run(); }); }

void LineWorker::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void LineWorker::Submit(std::unique_ptr<Job> job) {
    {
        std::lock_guard lock(mutex_);
        queue_.Push(std::move(job));
    }
    ready_.notify_one();
}

std::size_t LineWorker::DropClient(std::uint64_t client) {
    std::lock_guard lock(mutex_);
    return queue_.Drop(client);
}

std::vector<std::unique_ptr<Job>> LineWorker::TakeFinished() {
    std::uint64_t count = 0;
    if (read(wakeFd_, &count, sizeof count) < 0) count = 0;  // nothing to clear
    std::lock_guard lock(mutex_);
    return std::move(finished_);
}

void LineWorker::Run() {
    for (;;) {
        std::unique_ptr<Job> job;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !queue_.Empty(); });
            if (stopping_) return;
            job = queue_.Pop();
        }
        Execute(*job);
        {
            std::lock_guard lock(mutex_);
            finished_.push_back(std::move(job));
        }
        const std::uint64_t one = 1;
        if (write(wakeFd_, &one, sizeof one) < 0) Log("cannot wake the server thread");
    }
}

int LineWorker::Failure(unsigned station, int result) {
    if (result == 1) return MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;
    hold_.Failed(station);
    Log("station %u did not answer; its requests get exception 0x0B for %lld s", station,
        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(hold_.Hold()).count()));
    return MODBUS_EXCEPTION_GATEWAY_TARGET;
}

void LineWorker::Execute(Job& job) {
    const unsigned station = job.modbus.unit;
    // Answered without the line: already an exception, or a station held down.
    if (job.exception != 0) return;
    if (hold_.IsDown(station)) {
        job.exception = MODBUS_EXCEPTION_GATEWAY_TARGET;
        return;
    }
    for (const DriverRead& read : job.reads) {
        std::vector<std::uint16_t> slots(scanplan::SlotCount(read), 0);
        GateTransfer transfer = scanplan::ToGateTransfer(read, slots.data());
        if (const int result = line_.Request(scanplan::ReadOperation(read), &transfer); result != 0) {
            job.exception = Failure(station, result);
            return;
        }
        for (const scanplan::GateSlot& slot : read.gates)
            job.values[slot.gate] = scanplan::GateValues(read, slot, slots).front();
    }
    for (const DriverWrite& write : job.writes) {
        if (const int result = line_.Write(write.gate, write.value); result != 0) {
            job.exception = Failure(station, result);
            Log("write to unit %u at %u failed at %s (driver result %d): %zu of %zu values were written", station,
                job.modbus.address, write.gate.gas.c_str(), result, job.written, job.writes.size());
            return;
        }
        ++job.written;
    }
}

}  // namespace qelgate
