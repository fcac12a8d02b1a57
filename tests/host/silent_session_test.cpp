// The session library prints nothing: a read of a silent station, its
// diagnosis and the driver's log with -v go to the report sink the program
// sets, and without one nowhere; fd 2 stays empty either way.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "fasim.h"
#include "session/diagnosis/diagnosis.h"
#include "session/driver/driver_log.h"
#include "session/host_context.h"
#include "session/report/report.h"
#include "support/pty_pair.h"

namespace {

using namespace qel::session;

// Everything written to fd 2 while it lives.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        saved_ = dup(2);
        std::snprintf(path_, sizeof path_, "/tmp/silent-stderr-XXXXXX");
        const int fd = mkstemp(path_);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() {
        Restore();
        unlink(path_);
    }
    std::string Text() {
        Restore();
        std::ifstream file(path_, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    }

private:
    void Restore() {
        if (saved_ < 0) return;
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    int saved_ = -1;
    char path_[64];
};

struct Reports {
    std::vector<std::pair<Severity, std::string>> got;
    bool Has(Severity severity, const std::string& text) const {
        for (const auto& [s, t] : got) {
            if (s == severity && t.find(text) != std::string::npos) return true;
        }
        return false;
    }
};

class SilentSession : public testing::TestWithParam<bool> {};

// Station 1 answers; station 3 is absent. The read of 003DR0001 fails with no
// answer, and its diagnosis asks the station what it is.
TEST_P(SilentSession, AFailedReadAndItsDiagnosisWriteNothingToStderr) {
    const bool withSink = GetParam();
    fasim::Options simOptions;
    simOptions.stations = {{1, fasim::Model::FA2}};
    simOptions.line.paced = false;
    fasim::Simulator sim(simOptions);
    const std::string link = testsupport::ShortLinkPath();
    std::string error;
    ASSERT_TRUE(sim.StartPty(link, &error)) << error;

    Reports reports;
    if (withSink) {
        SetReportSink([&reports](Severity severity, const std::string& text) { reports.got.emplace_back(severity, text); });
    }
    SessionOptions options;
    options.line.port = link;
    options.line.timeout = 10;
    options.driverPath = VUZORUR_PATH;
    options.verbose = true;  // the driver's log: a report, never stderr
    Outcome outcome;
    Diagnosis diagnosis;
    std::string written;
    {
        StderrCapture capture;
        ASSERT_TRUE(RouteDriverLog(options.verbose, ""));
        {
            HostContext host;
            ASSERT_EQ(host.Open(options), OpenResult::Ready);
            Gate gate;
            gate.gas = "003DR0001";
            ASSERT_EQ(host.CheckGate(gate), DriverResult::Done);
            std::vector<std::uint16_t> values;
            outcome = host.Read(gate, values);
            if (!outcome.ok()) diagnosis = host.Diagnose(gate, outcome, false);
        }
        RouteDriverLog(false, "");
        written = capture.Text();
    }
    SetReportSink(nullptr);

    EXPECT_EQ(written, "") << "the session library wrote to stderr";
    EXPECT_EQ(outcome.result, DriverResult::LineFailure);
    EXPECT_EQ(outcome.failure, FailureKind::NoAnswer);
    EXPECT_EQ(diagnosis.hint, Hint::NoAnswer);
    EXPECT_EQ(diagnosis.verdict(), DriverResult::LineFailure);
    EXPECT_EQ(diagnosis.station, 3u);
    EXPECT_EQ(diagnosis.port, link);
    EXPECT_EQ(diagnosis.answersAs, StationKind::Other);
    if (withSink) {
        EXPECT_TRUE(reports.Has(Severity::Info, "station 3 did not answer: held down"))
            << "the scheduler reports the station going down";
        EXPECT_TRUE(reports.Has(Severity::DriverLog, "")) << "-v hands the driver's log lines on";
        EXPECT_FALSE(reports.Has(Severity::Error, "")) << "a diagnosis is a value, not a report";
    } else {
        EXPECT_TRUE(reports.got.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Report, SilentSession, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& row) { return row.param ? "WithSink" : "WithoutSink"; });

}  // namespace
