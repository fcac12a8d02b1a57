// The gateway's limit on lines about clients: a burst per client host and
// reason, then one line with the count of those left out; past the table's
// size new hosts share one window per reason.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "modbus/gateway_log.h"

namespace {

using qel::modbus::ClientLog;
using qel::session::ReportSink;
using qel::session::Severity;

// The lines a sink was handed, each with "\n", as the program would print them.
struct Lines {
    std::string text;
    bool allInfos = true;
    ReportSink Sink() {
        return [this](Severity severity, const std::string& line) {
            allInfos = allInfos && severity == Severity::Info;
            text += line + "\n";
        };
    }
    std::string Take() { return std::exchange(text, std::string()); }
};

TEST(ClientLog, ABurstPerHostAndReasonThenTheCountOfThoseLeftOut) {
    Lines lines;
    ClientLog log(lines.Sink());
    for (int i = 0; i < 7; ++i) log.Line("10.0.0.7", "connected", "client 10.0.0.7:" + std::to_string(5000 + i));
    log.Line("10.0.0.8", "connected", "client 10.0.0.8:1");
    log.Line("10.0.0.7", "refused", "refused 10.0.0.7:9");
    log.Flush(ClientLog::Clock::now() - ClientLog::kWindow);  // no window has ended
    const std::string during = lines.Take();
    EXPECT_EQ(log.Suppressed(), 2u);

    log.Flush(ClientLog::Clock::now() + ClientLog::kWindow);
    const std::string after = lines.Take();
    EXPECT_EQ(during,
              "client 10.0.0.7:5000\nclient 10.0.0.7:5001\nclient 10.0.0.7:5002\n"
              "client 10.0.0.7:5003\nclient 10.0.0.7:5004\nclient 10.0.0.8:1\n"
              "refused 10.0.0.7:9\n");
    EXPECT_EQ(after, "2 more lines of 'connected' from 10.0.0.7 were left out in 60 s\n");
    EXPECT_TRUE(lines.allInfos);
}

TEST(ClientLog, PastTheTableNewHostsShareOneWindowPerReason) {
    Lines lines;
    ClientLog log(lines.Sink());
    for (std::size_t i = 0; i < ClientLog::kMaxKeys; ++i) log.Line("h" + std::to_string(i), "connected", "early");
    for (int i = 0; i < 7; ++i) log.Line("late" + std::to_string(i), "connected", "late " + std::to_string(i));
    log.Line("h0", "connected", "h0 again");  // its own window still
    log.Flush(ClientLog::Clock::now() + ClientLog::kWindow);
    const std::string out = lines.Take();
    const std::string tail =
        "late 0\nlate 1\nlate 2\nlate 3\nlate 4\n"
        "h0 again\n"
        "2 more lines of 'connected' from other hosts were left out in 60 s\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(log.Suppressed(), 2u);
}

// A formatted line goes to the sink with its severity; with no sink the
// server is silent, and stderr stays empty.
TEST(GatewayLog, AFormattedLineGoesToTheSinkAndWithoutOneNowhere) {
    std::vector<std::pair<Severity, std::string>> got;
    const ReportSink sink = [&got](Severity severity, const std::string& text) { got.emplace_back(severity, text); };
    qel::modbus::Log(sink, Severity::Error, "poll failed: %s (%d)", "Interrupted", 4);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first, Severity::Error);
    EXPECT_EQ(got[0].second, "poll failed: Interrupted (4)");

    testing::internal::CaptureStderr();
    qel::modbus::Log(ReportSink{}, Severity::Info, "%zu requests were not done", std::size_t{3});
    ClientLog quiet{ReportSink{}};
    quiet.Line("10.0.0.7", "connected", "client 10.0.0.7:1");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
