// The log limiter's shared key: a caller names the key that new keys past
// the table's size count under, and the line of those left out names it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/report/log_limit.h"

namespace {

using qel::session::LogLimit;

TEST(LogLimit, NewKeysPastTheTableCountUnderTheCallersSharedKey) {
    std::vector<std::string> lines;
    LogLimit limit([&](const std::string& line) { lines.push_back(line); }, 1, std::chrono::seconds(10), 1);
    const auto t = LogLimit::Clock::time_point{} + std::chrono::hours(1);
    limit.Line("'idle' from a", "a0", t, "'idle' from others");
    limit.Line("'idle' from b", "b0", t, "'idle' from others");
    limit.Line("'idle' from c", "c0", t, "'idle' from others");
    limit.Line("'closed' from d", "d0", t, "'closed' from others");
    EXPECT_EQ(lines, (std::vector<std::string>{"a0", "b0", "d0"}));
    limit.Flush(t + std::chrono::seconds(10));
    EXPECT_EQ(lines, (std::vector<std::string>{"a0", "b0", "d0",
                                               "1 more lines of 'idle' from others were left out in 10 s"}));
}

}  // namespace
