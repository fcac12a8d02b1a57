// Port operations over the in-memory line: the parts a pseudo-terminal
// cannot show (pending input, break, pauses, short writes of the count).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "serial/line.h"
#include "serial/serial_port.h"
#include "support/case_name.h"
#include "support/memory_line.h"

namespace {

using testsupport::MemoryLine;

PortSettings Named(const char* name) {
    PortSettings settings{};
    std::string(name).copy(settings.portName, sizeof settings.portName - 1);
    return settings;
}

TEST(PortOperations, DrainInputDropsWhatWaitsAndRestoresTheTimeout) {
    MemoryLine line;
    const auto handle = qel::OpenPort(Named("mem"));
    ASSERT_EQ(handle, MemoryLine::kHandle);
    line.Feed(std::string(1300, 'x'));
    EXPECT_EQ(qel::DrainInput(handle), 0);
    EXPECT_EQ(line.Pending(), 0u);
    EXPECT_EQ(line.ReadTimeoutMs(), 1000u) << "the time-out before the drain is back";
}

TEST(PortOperations, DrainInputOfAQuietLineReadsNothing) {
    MemoryLine line;
    const auto handle = qel::OpenPort(Named("mem"));
    EXPECT_EQ(qel::DrainInput(handle), 0);
    EXPECT_EQ(line.TimeoutsElapsed(), 0) << "nothing pending: no read at all";
}

TEST(PortOperations, DrainInputWithoutAPortReportsTheFailedRead) {
    MemoryLine line;
    EXPECT_EQ(qel::DrainInput(qel::NO_PORT), 1);
}

TEST(PortOperations, SendBreakAndPauseSleepTheGivenTime) {
    MemoryLine line;
    const auto handle = qel::OpenPort(Named("mem"));
    EXPECT_EQ(qel::SendBreak(250, handle), 0);
    EXPECT_EQ(qel::PauseMs(600), 0);
    EXPECT_EQ(line.SleptMs(), 850u);
}

TEST(PortOperations, TheCountOfAReadIsSixteenBits) {
    MemoryLine line;
    const auto handle = qel::OpenPort(Named("mem"));
    line.Feed("abc");
    std::array<std::uint8_t, 65536 + 3> buffer{};
    std::uint32_t received = 0;
    EXPECT_EQ(qel::PortRead(handle, buffer, &received), qel::PORT_OK) << "65539 reads as 3";
    EXPECT_EQ(received, 3u);
}

TEST(PortOperations, PurgeWaitsTwentyQuietMillisecondsThenRestoresTheWorkspaceTimeout) {
    MemoryLine line;
    DriverWorkspace workspace{};
    workspace.portHandle = qel::OpenPort(Named("mem"));
    workspace.readTimeout = 250;
    line.Feed("stale");
    qel::PurgeInput(workspace);
    EXPECT_EQ(line.Pending(), 0u);
    EXPECT_EQ(line.ReadTimeoutMs(), 2500u);
    EXPECT_EQ(line.SleptMs(), 20u) << "the stale bytes at once, then one 20 ms wait that brought none";
}

// Bytes arriving on the line's clock while the purge runs: it ends 20 ms
// after the last byte that came, drops at most 3000 bytes, and leaves a byte
// that comes after 20 ms of quiet for the next read.
struct Trickle {
    const char* name;
    std::size_t bytes;
    std::uint64_t everyMs;
    std::uint64_t lateByteAtMs;  // 0: none
    std::uint64_t endsAtMs;
    std::size_t left;
};

class PurgeOfATrickle : public ::testing::TestWithParam<Trickle> {};

TEST_P(PurgeOfATrickle, EndsTwentyMillisecondsAfterTheLastByte) {
    const Trickle& c = GetParam();
    MemoryLine line;
    DriverWorkspace workspace{};
    workspace.portHandle = qel::OpenPort(Named("mem"));
    workspace.readTimeout = 100;
    line.FeedOverTime(0, c.everyMs, std::string(c.bytes, 'x'));
    if (c.lateByteAtMs != 0) line.FeedOverTime(c.lateByteAtMs, 0, "L");
    qel::PurgeInput(workspace);
    EXPECT_EQ(line.SleptMs(), c.endsAtMs);
    EXPECT_EQ(line.Pending(), c.left);
    EXPECT_EQ(line.ReadTimeoutMs(), 1000u);
}

INSTANTIATE_TEST_SUITE_P(
    Purge, PurgeOfATrickle,
    ::testing::Values(Trickle{"OneByteEveryFiveMsForFiftyMs", 11, 5, 0, 70, 0},
                      Trickle{"GapsOfNineteenMsStillOneTrickle", 4, 19, 0, 77, 0},
                      Trickle{"AByteAfterTwentyOneQuietMsIsKept", 3, 1, 23, 22, 1},
                      Trickle{"AtMostThreeThousandBytes", 3005, 0, 0, 0, 5}),
    testsupport::CaseName<Trickle>);

TEST(PortOperations, AFailedOpenGivesNoHandle) {
    MemoryLine line;
    line.SetOpenFails(true);
    EXPECT_EQ(qel::OpenPort(Named("mem")), qel::NO_PORT);
}

}  // namespace
