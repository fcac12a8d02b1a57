// The gateway's limit on lines about clients: a burst per client host and
// reason, then one line with the count of those left out; past the table's
// size new hosts share one window per reason.
#include <gtest/gtest.h>

#include <string>

#include "modbus/gateway_log.h"

namespace {

using qel::modbus::ClientLog;

TEST(ClientLog, ABurstPerHostAndReasonThenTheCountOfThoseLeftOut) {
    ClientLog log;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 7; ++i) log.Line("10.0.0.7", "connected", "client 10.0.0.7:" + std::to_string(5000 + i));
    log.Line("10.0.0.8", "connected", "client 10.0.0.8:1");
    log.Line("10.0.0.7", "refused", "refused 10.0.0.7:9");
    log.Flush(ClientLog::Clock::now() - ClientLog::kWindow);  // no window has ended
    const std::string during = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.Suppressed(), 2u);

    testing::internal::CaptureStderr();
    log.Flush(ClientLog::Clock::now() + ClientLog::kWindow);
    const std::string after = testing::internal::GetCapturedStderr();
    EXPECT_EQ(during,
              "qelgate: client 10.0.0.7:5000\nqelgate: client 10.0.0.7:5001\nqelgate: client 10.0.0.7:5002\n"
              "qelgate: client 10.0.0.7:5003\nqelgate: client 10.0.0.7:5004\nqelgate: client 10.0.0.8:1\n"
              "qelgate: refused 10.0.0.7:9\n");
    EXPECT_EQ(after, "qelgate: 2 more lines of 'connected' from 10.0.0.7 were left out in 60 s\n");
}

TEST(ClientLog, PastTheTableNewHostsShareOneWindowPerReason) {
    ClientLog log;
    testing::internal::CaptureStderr();
    for (std::size_t i = 0; i < ClientLog::kMaxKeys; ++i) log.Line("h" + std::to_string(i), "connected", "early");
    for (int i = 0; i < 7; ++i) log.Line("late" + std::to_string(i), "connected", "late " + std::to_string(i));
    log.Line("h0", "connected", "h0 again");  // its own window still
    log.Flush(ClientLog::Clock::now() + ClientLog::kWindow);
    const std::string out = testing::internal::GetCapturedStderr();
    const std::string tail =
        "qelgate: late 0\nqelgate: late 1\nqelgate: late 2\nqelgate: late 3\nqelgate: late 4\n"
        "qelgate: h0 again\n"
        "qelgate: 2 more lines of 'connected' from other hosts were left out in 60 s\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(log.Suppressed(), 2u);
}

}  // namespace
