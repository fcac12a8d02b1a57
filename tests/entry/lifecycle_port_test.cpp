// QEL_WARM_START, QEL_CLOSE_PORT, QEL_OPEN_PORT and QEL_RECONFIGURE over real
// pseudo-terminals.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <thread>

#include "lifecycle_fixture.h"
#include "serial/line.h"

namespace lifecycle_test {
namespace {

using namespace std::chrono_literals;

using WarmStart = QelOnPty;
using ClosePort = QelOnPty;
using OpenPort = QelOnPty;
using Reconfigure = QelOnPty;

TEST_F(WarmStart, WithoutAPortResetsStationAndForceFlagsOnly) {
    FillWorkspace();
    workspace_.qelNumber = 7;
    workspace_.lastStation = 5;
    DriverWorkspace expected = workspace_;
    expected.lastStation = NO_STATION;
    std::memset(expected.forceFlags, 0, sizeof expected.forceFlags);

    EXPECT_EQ(Call(QEL_WARM_START), 0);
    EXPECT_TRUE(SameBytes(workspace_, expected));
    EXPECT_EQ(Log(), std::vector<LogLine>{Info("DAVEV: Warm start QEL 7")});
    EXPECT_TRUE(PortIsFree(link_)) << "no port touched";
}

TEST_F(WarmStart, LogsTheWorkspacesQelNumberNotTheRequests) {
    ASSERT_EQ(Init(SetupFor(link_), 4), 0);
    log_.Clear();
    EXPECT_EQ(Call(QEL_WARM_START, nullptr, 9), 0);
    EXPECT_EQ(Log(), std::vector<LogLine>{Info("DAVEV: Warm start QEL 4")});
}

TEST_F(WarmStart, WithAPortPurgesTheLineAndKeepsTheRest) {
    ASSERT_EQ(Init(SetupFor(link_, 1, 100)), 0);
    workspace_.lastStation = 3;
    workspace_.forceFlags[3] = 1;
    std::memcpy(workspace_.stationModel[3], "FA3", 4);
    DriverWorkspace expected = workspace_;
    expected.lastStation = NO_STATION;
    expected.forceFlags[3] = 0;

    pty_.Write("stale bytes");
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Call(QEL_WARM_START), 0);
    EXPECT_TRUE(SameBytes(workspace_, expected));
    EXPECT_EQ(PortTimeoutMs(workspace_.portHandle), 1000u) << "the workspace's time-out again";

    qel::SetReadTimeout(workspace_.portHandle, 5);
    std::array<std::uint8_t, 1> byte{};
    EXPECT_EQ(qel::PortRead(workspace_.portHandle, byte), qel::PORT_FAILED) << "the stale input is gone";
}

TEST_F(ClosePort, WithoutAnOpenPortReturnsZero) {
    FillWorkspace();
    const DriverWorkspace before = workspace_;
    EXPECT_EQ(Call(QEL_CLOSE_PORT), 0);
    EXPECT_EQ(Call(QEL_CLOSE), 0);
    EXPECT_TRUE(SameBytes(workspace_, before));
    EXPECT_TRUE(Log().empty());
}

TEST_F(ClosePort, TwiceAfterAnOpenBothReturnZero) {
    ASSERT_EQ(Init(), 0);
    log_.Clear();
    DriverWorkspace expected = workspace_;
    expected.portHandle = qel::NO_PORT;
    EXPECT_EQ(Call(QEL_CLOSE_PORT), 0);
    EXPECT_TRUE(SameBytes(workspace_, expected)) << "portEnabled and the rest stay";
    EXPECT_TRUE(PortIsFree(link_));
    EXPECT_EQ(Call(QEL_CLOSE_PORT), 0);
    EXPECT_TRUE(SameBytes(workspace_, expected));
    EXPECT_TRUE(Log().empty());
}

TEST_F(ClosePort, CodesElevenAndTwelveAlike) {
    for (const std::int32_t code : {QEL_CLOSE, QEL_CLOSE_PORT}) {
        ASSERT_EQ(Init(), 0);
        DriverWorkspace expected = workspace_;
        expected.portHandle = qel::NO_PORT;
        EXPECT_EQ(Call(code), 0) << code;
        EXPECT_TRUE(SameBytes(workspace_, expected)) << code;
        EXPECT_TRUE(PortIsFree(link_)) << code;
        EXPECT_EQ(Call(code), 0) << code;
    }
}

TEST_F(OpenPort, OpensFromTheStoredSettingsAndEnablesThePort) {
    FillWorkspace();
    workspace_.portEnabled = 0;
    workspace_.port = SettingsFor(link_);
    DriverWorkspace expected = workspace_;
    expected.portEnabled = 1;

    EXPECT_EQ(Call(QEL_OPEN_PORT), 0);
    EXPECT_NE(workspace_.portHandle, qel::NO_PORT);
    EXPECT_FALSE(PortIsFree(link_));
    expected.portHandle = workspace_.portHandle;
    EXPECT_TRUE(SameBytes(workspace_, expected));
    EXPECT_EQ(PortTimeoutMs(workspace_.portHandle), qel::OPEN_READ_TIMEOUT_MS) << "the time-out of a fresh open";
    EXPECT_TRUE(Log().empty());
}

TEST_F(OpenPort, FailureLeavesTheWorkspaceUnchanged) {
    FillWorkspace();
    workspace_.portEnabled = 0;
    workspace_.port = SettingsFor(kMissingPort);
    const DriverWorkspace before = workspace_;
    EXPECT_EQ(Call(QEL_OPEN_PORT), 2);
    EXPECT_TRUE(SameBytes(workspace_, before));
    EXPECT_TRUE(Log().empty());
}

TEST_F(OpenPort, AfterCloseReopens) {
    ASSERT_EQ(Init(), 0);
    ASSERT_EQ(Call(QEL_CLOSE_PORT), 0);
    EXPECT_EQ(Call(QEL_OPEN_PORT), 0);
    EXPECT_FALSE(PortIsFree(link_));
}

// Mended: opening a port the QEL already holds closes the held handle first,
// so the exclusive open succeeds and no descriptor is left behind.
TEST_F(OpenPort, RepeatedOnTheSameQelSucceedsAndKeepsNoExtraDescriptor) {
    ASSERT_EQ(Init(), 0);
    const int descriptors = testsupport::OpenDescriptorCount();
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(Call(QEL_OPEN_PORT), 0) << round;
        EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptors) << round;
    }
    EXPECT_FALSE(PortIsFree(link_));
    ASSERT_EQ(Call(QEL_CLOSE_PORT), 0);
    EXPECT_TRUE(PortIsFree(link_)) << "no forgotten handle keeps the port";
}

// Mended: when the reopen fails, the held handle has been closed and the
// workspace holds no port.
TEST_F(OpenPort, FailureOnAReadyQelLeavesNoPort) {
    ASSERT_EQ(Init(), 0);
    std::memcpy(workspace_.port.portName, kMissingPort, sizeof kMissingPort);
    EXPECT_EQ(Call(QEL_OPEN_PORT), 2);
    EXPECT_EQ(workspace_.portHandle, qel::NO_PORT);
    EXPECT_TRUE(PortIsFree(link_));
}

TEST_F(Reconfigure, ToAnotherNameClosesTheOldPortFirst) {
    testsupport::PtyPair other;
    const std::string otherLink = testsupport::ShortLinkPath();
    other.Link(otherLink);
    ASSERT_EQ(Init(SetupFor(link_, 1, 150)), 0);
    log_.Clear();

    PortUpdate update = Update(otherLink, 0);
    update.baudRate = 19200;
    update.stopBits = 2;
    update.parity = 1;
    update.dataBits = 7;
    EXPECT_EQ(ReconfigureTo(update), 0);
    EXPECT_NE(workspace_.portHandle, qel::NO_PORT);
    EXPECT_TRUE(PortIsFree(link_)) << "someone else can open the old port again";
    EXPECT_FALSE(PortIsFree(otherLink));
    EXPECT_STREQ(workspace_.port.portName, otherLink.c_str());
    EXPECT_EQ(workspace_.port.baudRate, 19200);
    EXPECT_EQ(workspace_.port.dataBits, 7);
    EXPECT_EQ(workspace_.port.stopBits, 2);
    EXPECT_EQ(workspace_.port.parity, 1);
    EXPECT_EQ(workspace_.port.lineControl, 8) << "kept";
    EXPECT_EQ(workspace_.readTimeout, 150) << "0 keeps the stored time-out";
    EXPECT_EQ(workspace_.portEnabled, 1);
    EXPECT_TRUE(Log().empty());
}

TEST_F(Reconfigure, TimeoutTwentyIsStoredWithoutALowerBound) {
    ASSERT_EQ(Init(), 0);
    EXPECT_EQ(ReconfigureTo(Update(link_, 20)), 0);
    EXPECT_EQ(workspace_.readTimeout, 20);
    EXPECT_EQ(ReconfigureTo(Update(link_, 0)), 0);
    EXPECT_EQ(workspace_.readTimeout, 20);
    EXPECT_EQ(ReconfigureTo(Update(link_, -3)), 0);
    EXPECT_EQ(workspace_.readTimeout, -3);
}

TEST_F(Reconfigure, ToAPortThatCannotBeOpenedKeepsTheSettingsAndNoPort) {
    ASSERT_EQ(Init(SetupFor(link_, 1, 100)), 0);
    log_.Clear();
    EXPECT_EQ(ReconfigureTo(Update(kMissingPort, 30)), 2);
    EXPECT_EQ(workspace_.portHandle, qel::NO_PORT);
    EXPECT_STREQ(workspace_.port.portName, kMissingPort);
    EXPECT_EQ(workspace_.readTimeout, 30);
    EXPECT_EQ(workspace_.portEnabled, 1);
    EXPECT_TRUE(PortIsFree(link_));
    EXPECT_TRUE(Log().empty());
}

// Mended: keeping the name of the open port closes it before the reopen, so
// the exclusive open succeeds with the new settings.
TEST_F(Reconfigure, KeepingTheNameOfTheOpenPortReopensIt) {
    ASSERT_EQ(Init(), 0);
    const int descriptors = testsupport::OpenDescriptorCount();
    PortUpdate update = Update(link_);
    update.baudRate = 4800;
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(ReconfigureTo(update), 0) << round;
        EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptors) << round;
    }
    EXPECT_EQ(workspace_.port.baudRate, 4800);
    ASSERT_EQ(Call(QEL_CLOSE_PORT), 0);
    EXPECT_TRUE(PortIsFree(link_));
}

TEST_F(Reconfigure, OnAClosedQelOpensTheNewPort) {
    FillWorkspace();
    workspace_.portEnabled = 0;
    workspace_.lastStation = 77;
    EXPECT_EQ(ReconfigureTo(Update(link_, 0)), 0);
    EXPECT_NE(workspace_.portHandle, qel::NO_PORT);
    EXPECT_EQ(workspace_.portEnabled, 0) << "not changed";
    EXPECT_EQ(LastStation(), 77);
    EXPECT_EQ(workspace_.port.lineControl, 0xA5A5) << "kept";
}

}  // namespace
}  // namespace lifecycle_test
