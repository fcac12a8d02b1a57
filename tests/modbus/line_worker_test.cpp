// The line worker: Modbus jobs through the line scheduler on a fake line,
// and what comes back to the server: values, the written count, the
// exception, the log line of a write that failed part way.
#include <gtest/gtest.h>
#include <gmock/gmock.h>
#include <modbus/modbus.h>
#include <poll.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "modbus/line_worker.h"
#include "session/gates/gate_address.h"
#include "support/fake_line.h"
#include "support/take_until.h"

namespace {

using namespace qel;
using namespace std::chrono_literals;
using testsupport::FakeLine;
using Act = FakeLine::Act;

session::SchedulerOptions FastOptions() {
    session::SchedulerOptions options;
    options.attempts = 2;
    options.retryPause = 5ms;
    options.firstProbe = 10s;  // no probe within a test
    options.expected.set();    // every unit named: one that never answered is down, not absent
    return options;
}

// A driver read of `count` values from the station's DR0000, each value an
// element of the request from `firstElement` on.
modbus::DriverRead Block(unsigned station, int count, std::size_t firstElement) {
    modbus::DriverRead read;
    read.gas = session::GateAddress{station, "DR", 0}.Format();
    read.station = station;
    read.count = count;
    for (int i = 0; i < count; ++i) read.gates.push_back({firstElement + static_cast<std::size_t>(i), i, 1});
    return read;
}

modbus::DriverWrite WriteOf(unsigned station, unsigned number, std::uint16_t value) {
    modbus::DriverWrite write;
    write.gate.gas = session::GateAddress{station, "DR", number}.Format();
    write.gate.definition.station = station;
    write.value = value;
    return write;
}

std::unique_ptr<modbus::Job> JobOf(std::uint64_t client, unsigned unit, std::vector<modbus::DriverRead> reads,
                                   std::vector<modbus::DriverWrite> writes = {}) {
    auto job = std::make_unique<modbus::Job>();
    job->client = client;
    job->modbus.unit = unit;
    std::size_t elements = 0;
    for (const modbus::DriverRead& read : reads) elements += read.gates.size();
    job->values.assign(elements, 0);
    job->reads = std::move(reads);
    job->writes = std::move(writes);
    return job;
}

// Waits on the worker's wake descriptor for `count` jobs, at most 5 s.
// The worker's reports, one per line.
struct LogLines {
    std::mutex mutex;
    std::string text;
    session::ReportSink Sink() {
        return [this](session::Severity, const std::string& line) {
            const std::lock_guard lock(mutex);
            text += line + "\n";
        };
    }
    std::string Text() {
        const std::lock_guard lock(mutex);
        return text;
    }
};

std::vector<std::unique_ptr<modbus::Job>> Answered(modbus::LineWorker& worker, std::size_t count) {
    return testsupport::TakeUntil(
        count, [&worker] { return worker.TakeFinished(); },
        [&worker] {
            pollfd wake{worker.WakeFd(), POLLIN, 0};
            poll(&wake, 1, 100);
        });
}

TEST(LineWorker, AJobComesBackWithItsValuesOrItsException) {
    struct Case {
        const char* what;
        Act steady;
        std::vector<Act> first;
        int exception;
        std::vector<std::uint16_t> values;
    } cases[] = {
        {"a block and a single value", Act::Answer, {}, 0, {200, 201, 202, 201}},
        {"a Nak, then the answers", Act::Answer, {Act::Nak}, 0, {200, 201, 202, 201}},
        {"refused", Act::Refuse, {}, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE, {0, 0, 0, 0}},
        {"Naks to the end", Act::Nak, {}, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE, {0, 0, 0, 0}},
        {"no answer", Act::Silent, {}, MODBUS_EXCEPTION_GATEWAY_TARGET, {0, 0, 0, 0}},
        // The station responded, if with less than a reply: no 0x0B, which
        // says it did not respond (and which a client may take for a dead unit).
        {"short answers to the end", Act::Short, {}, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE, {0, 0, 0, 0}},
        {"the second read unanswered", Act::Silent, {Act::Answer}, MODBUS_EXCEPTION_GATEWAY_TARGET,
         {200, 201, 202, 0}},
    };
    for (const Case& c : cases) {
        FakeLine line;
        line.Set(2, c.steady, c.first);
        session::LineScheduler scheduler(line, FastOptions());
        modbus::LineWorker worker(scheduler, {});
        worker.Start();
        worker.Submit(JobOf(7, 2, {Block(2, 3, 0), Block(2, 1, 3)}));
        const auto jobs = Answered(worker, 1);
        ASSERT_EQ(jobs.size(), 1u) << c.what;
        EXPECT_EQ(jobs[0]->exception, c.exception) << c.what;
        EXPECT_EQ(jobs[0]->values, c.values) << c.what;
        EXPECT_EQ(jobs[0]->written, 0u) << c.what;
        worker.Stop();
    }
}

TEST(LineWorker, AWriteThatFailsPartWaySaysHowFarItGot) {
    struct Case {
        const char* what;
        std::vector<Act> first;
        int exception;
        std::size_t written;
        const char* log;  // empty: no line
    } cases[] = {
        {"all written", {}, 0, 3, ""},
        {"the third unanswered", {Act::Answer, Act::Answer, Act::Silent, Act::Silent}, MODBUS_EXCEPTION_GATEWAY_TARGET,
         2, "write to unit 2 at 900 failed at 002DR0003 (line failure): 2 of 3 values were written; no answer"},
        {"the first refused", {Act::Refuse}, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE, 0,
         "write to unit 2 at 900 failed at 002DR0001 (refused): 0 of 3 values were written; refused"},
    };
    for (const Case& c : cases) {
        FakeLine line;
        line.Set(2, Act::Answer, c.first);
        session::LineScheduler scheduler(line, FastOptions());
        LogLines lines;
        modbus::LineWorker worker(scheduler, lines.Sink());
        worker.Start();
        auto job = JobOf(7, 2, {}, {WriteOf(2, 1, 11), WriteOf(2, 2, 12), WriteOf(2, 3, 13)});
        job->modbus.address = 900;
        worker.Submit(std::move(job));
        const auto jobs = Answered(worker, 1);
        worker.Stop();
        const std::string log = lines.Text();
        ASSERT_EQ(jobs.size(), 1u) << c.what;
        EXPECT_EQ(jobs[0]->exception, c.exception) << c.what;
        EXPECT_EQ(jobs[0]->written, c.written) << c.what;
        EXPECT_EQ(line.Written().size(), c.written) << c.what;
        if (*c.log != '\0') EXPECT_THAT(log, testing::HasSubstr(c.log)) << c.what;
        else EXPECT_THAT(log, testing::Not(testing::HasSubstr("write to unit"))) << c.what;
    }
}

TEST(LineWorker, AJobAnsweredBeforeTheLineWaitsForItsClientsEarlierJobs) {
    FakeLine line;
    session::LineScheduler scheduler(line, FastOptions());
    modbus::LineWorker worker(scheduler, {});
    worker.Submit(JobOf(7, 1, {Block(1, 1, 0)}));
    auto refused = JobOf(7, 1, {});
    refused->exception = MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
    worker.Submit(std::move(refused));
    worker.Start();
    const auto jobs = Answered(worker, 2);
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0]->exception, 0);
    EXPECT_EQ(jobs[0]->values, std::vector<std::uint16_t>{101});
    EXPECT_EQ(jobs[1]->exception, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS) << "kept as the server decided";
    EXPECT_EQ(line.Attempts(1), 1) << "nothing of the answered job on the line";
    worker.Stop();
}

TEST(LineWorker, AClientThatWentAwayIsForgottenAndADownStationIsTold) {
    FakeLine line;
    line.Set(4, Act::Silent);
    session::LineScheduler scheduler(line, FastOptions());
    modbus::LineWorker worker(scheduler, {});
    worker.Submit(JobOf(1, 3, {Block(3, 1, 0)}));
    worker.Submit(JobOf(1, 3, {Block(3, 1, 0)}));
    worker.Submit(JobOf(2, 4, {Block(4, 1, 0)}));
    EXPECT_EQ(worker.DropClient(1), 2u);
    EXPECT_EQ(worker.DropClient(1), 0u);
    EXPECT_FALSE(worker.StationDown(4));
    worker.Start();
    const auto jobs = Answered(worker, 1);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0]->client, 2u);
    EXPECT_EQ(jobs[0]->exception, MODBUS_EXCEPTION_GATEWAY_TARGET);
    EXPECT_TRUE(worker.StationDown(4));
    EXPECT_EQ(line.Attempts(3), 0);
    worker.Stop();
}

}  // namespace

TEST(LineWorker, AStopFinishesABegunWriteOrNamesTheGatesItWroteWhenTheBoundRunsOut) {
    struct Case {
        const char* what;
        std::vector<Act> first;
        std::chrono::milliseconds bound;
        bool whole;
        std::size_t written;
        const char* log;
    } cases[] = {
        {"finished within the bound", {Act::Answer, Act::Nak}, 2000ms, true, 3, ""},
        {"cut off by the bound", {Act::Answer, Act::Silent}, 50ms, false, 1,
         "stopping inside the write to unit 2 at 900: 1 of 3 values written, the gates: 002DR0001; not written: "
         "002DR0002 002DR0003"},
    };
    for (const Case& c : cases) {
        FakeLine line;
        line.Set(2, Act::Answer, c.first);
        session::SchedulerOptions options = FastOptions();
        options.retryPause = 300ms;  // the second value's retry comes after the stop
        session::LineScheduler scheduler(line, options);
        LogLines lines;
        modbus::LineWorker worker(scheduler, lines.Sink());
        worker.Start();
        auto job = JobOf(7, 2, {}, {WriteOf(2, 1, 11), WriteOf(2, 2, 12), WriteOf(2, 3, 13)});
        job->modbus.address = 900;
        worker.Submit(std::move(job));
        const auto end = std::chrono::steady_clock::now() + 2s;
        while (line.Attempts(2) < 2 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
        const bool whole = worker.Stop(c.bound);
        const std::string log = lines.Text();
        EXPECT_EQ(whole, c.whole) << c.what;
        EXPECT_EQ(line.Written().size(), c.written) << c.what;
        if (*c.log != '\0') EXPECT_THAT(log, testing::HasSubstr(c.log)) << c.what;
        else EXPECT_THAT(log, testing::Not(testing::HasSubstr("stopping inside"))) << c.what;
        if (c.whole) {
            EXPECT_EQ(worker.TakeFinished().size(), 1u) << c.what;
        }
    }
}
