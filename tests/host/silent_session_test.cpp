// The session library prints nothing: a read of a silent station, its
// diagnosis and the driver's log with -v go to the report sink the maker of
// each object gives it, and without one nowhere; fd 2 stays empty either
// way, from the moment the driver is loaded. Two contexts keep their reports
// apart.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>

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

// fasim on a fresh link with station 1 only, an FA2, unpaced: station 3 is
// the absent one the tests read.
class StationOne {
public:
    StationOne() : sim_(Options()) {}
    testing::AssertionResult Start() {
        std::string error;
        if (!sim_.StartPty(link, &error)) return testing::AssertionFailure() << error;
        return testing::AssertionSuccess();
    }
    const std::string link = testsupport::ShortLinkPath();

private:
    static fasim::Options Options() {
        fasim::Options options;
        options.stations = {{1, fasim::Model::FA2}};
        options.line.paced = false;
        return options;
    }
    fasim::Simulator sim_;
};

class SilentSession : public testing::TestWithParam<bool> {};

// Station 1 answers; station 3 is absent. The read of 003DR0001 fails with no
// answer, and its diagnosis asks the station what it is.
TEST_P(SilentSession, AFailedReadAndItsDiagnosisWriteNothingToStderr) {
    const bool withSink = GetParam();
    StationOne sim;
    ASSERT_TRUE(sim.Start());
    const std::string& link = sim.link;

    Reports reports;
    ReportSink sink;
    if (withSink) {
        sink = [&reports](Severity severity, const std::string& text) { reports.got.emplace_back(severity, text); };
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
        ASSERT_TRUE(RouteDriverLog(options.verbose, "", sink));
        {
            HostContext host(sink);
            ASSERT_EQ(host.Open(options), OpenResult::Ready);
            Gate gate;
            gate.gas = "003DR0001";
            ASSERT_EQ(host.CheckGate(gate), DriverResult::Done);
            std::vector<std::uint16_t> values;
            outcome = host.Read(gate, values);
            if (!outcome.ok()) diagnosis = host.Diagnose(gate, outcome, false);
        }
        RouteDriverLog(false, "", {});
        written = capture.Text();
    }

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

// A host that loads the driver and initialises a QEL, and never routes the
// driver's log: the driver's version line must not reach stderr. In a
// process of its own (the route is one per process, and a test before this
// one may have set it).
TEST(SilentDriverLog, ABareLoadAndInitWriteNothingToStderr) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            HostContext host;
            SessionOptions options;
            options.driverPath = VUZORUR_PATH;
            const bool loaded = host.LoadDriver(options);
            const bool initialised = host.session().InitWithoutPort(0) == DriverResult::Done;
            std::fflush(stderr);
            std::_Exit(loaded && initialised && !DriverBuildStamp().empty() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "^$");  // nothing at all on stderr
}

TEST(SilentDriverLog, TheBuildStampIsReadFromTheDriversVersionLine) {
    HostContext host;
    SessionOptions options;
    options.driverPath = VUZORUR_PATH;
    ASSERT_TRUE(host.LoadDriver(options));
    ASSERT_EQ(host.session().InitWithoutPort(0), DriverResult::Done);
    // "Dec  8 2026 at 17:00:00", as the compiler's date and time give it.
    EXPECT_TRUE(std::regex_match(DriverBuildStamp(), std::regex("[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} at [0-9]{2}:[0-9]{2}:[0-9]{2}")))
        << DriverBuildStamp();
}

// Each context reports to its own sink: two lines opened side by side, as
// Python opens them, do not hear each other's errors.
TEST(SilentSession, TwoContextsReportToTheirOwnSinks) {
    Reports first, second;
    HostContext a([&first](Severity s, const std::string& t) { first.got.emplace_back(s, t); });
    HostContext b([&second](Severity s, const std::string& t) { second.got.emplace_back(s, t); });
    SessionOptions options;
    options.driverPath = VUZORUR_PATH;
    options.line.port = "tcp:first";
    EXPECT_EQ(a.Open(options), OpenResult::BadSetting);
    options.line.port = "192.168.1.20:4001";  // a line over TCP without its tcp:
    EXPECT_EQ(b.Open(options), OpenResult::BadSetting);
    ASSERT_EQ(first.got.size(), 1u);
    ASSERT_EQ(second.got.size(), 1u);
    EXPECT_EQ(first.got[0].first, Severity::Error);
    EXPECT_NE(first.got[0].second.find("tcp:first"), std::string::npos) << first.got[0].second;
    EXPECT_NE(second.got[0].second.find("tcp:192.168.1.20:4001"), std::string::npos) << second.got[0].second;
    EXPECT_EQ(second.got[0].second.find("tcp:first"), std::string::npos) << second.got[0].second;
}

// With the driver's own retry loop the driver's retries are the exchange's
// attempts: a read of an absent station counts them, no log text searched
// by the program.
TEST(SilentSession, TheDriversOwnRetriesCountAsTheExchangesAttempts) {
    StationOne sim;
    ASSERT_TRUE(sim.Start());

    HostContext host;
    SessionOptions options;
    options.line.port = sim.link;
    options.line.timeout = 5;
    options.driverPath = VUZORUR_PATH;
    options.driverRetries = true;
    ASSERT_EQ(host.Open(options), OpenResult::Ready);
    Gate present, absent;
    present.gas = "001DR0001";
    absent.gas = "003DR0001";
    ASSERT_EQ(host.CheckGate(present), DriverResult::Done);
    ASSERT_EQ(host.CheckGate(absent), DriverResult::Done);
    LineRequest answered, silent;
    answered.station = 1;
    answered.exchanges.push_back(LineExchange::Read(present));
    silent.station = 3;
    silent.exchanges.push_back(LineExchange::Read(absent));
    host.scheduler().Call(answered);
    host.scheduler().Call(silent);
    ASSERT_TRUE(answered.ok());
    EXPECT_EQ(answered.exchanges.front().attempts, 1);
    ASSERT_FALSE(silent.ok());
    EXPECT_GT(silent.exchanges.front().attempts, 1) << "the driver retried a read nobody answered";
}

}  // namespace
