// The serial layer over real pseudo-terminals.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "serial/line.h"
#include "serial/posix/posix_termios.h"
#include "serial/serial_port.h"
#include "support/case_name.h"
#include "support/pty_pair.h"

namespace {

using namespace std::chrono_literals;
using testsupport::OpenDescriptorCount;
using testsupport::PtyPair;

PortSettings Settings(const std::string& name, std::uint16_t baud = 9600, std::uint16_t dataBits = 8,
                      std::uint16_t stopBits = 0, std::uint16_t parity = 2) {
    PortSettings settings{};
    name.copy(settings.portName, sizeof settings.portName - 1);
    settings.baudRate = baud;
    settings.dataBits = dataBits;
    settings.stopBits = stopBits;
    settings.parity = parity;
    settings.lineControl = 8;
    return settings;
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::uint32_t PortTimeoutMs(qel::PortHandle handle) {
    std::uint32_t ms = 0;
    EXPECT_TRUE(qel::ActiveSerialBackend().getReadTimeout(handle, &ms));
    return ms;
}

class SerialOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        link_ = testsupport::ShortLinkPath();
        pty_.Link(link_);
        handle_ = qel::OpenPort(Settings(link_));
        ASSERT_NE(handle_, qel::NO_PORT);
        workspace_.portHandle = handle_;
        workspace_.readTimeout = 100;
    }
    void TearDown() override {
        if (handle_ != qel::NO_PORT) qel::ClosePortHandle(handle_);
    }
    PtyPair pty_;
    std::string link_;
    qel::PortHandle handle_ = qel::NO_PORT;
    DriverWorkspace workspace_{};
};

TEST_F(SerialOnPty, OpenSetsTheOpeningTimeoutAndSetReadTimeoutReturnsThePrevious) {
    EXPECT_EQ(PortTimeoutMs(handle_), 1000u);
    EXPECT_EQ(qel::SetReadTimeout(handle_, 2), 100);
    EXPECT_EQ(PortTimeoutMs(handle_), 20u);
    EXPECT_EQ(qel::SetReadTimeout(handle_, 100), 2);
    EXPECT_EQ(PortTimeoutMs(handle_), 1000u);
    EXPECT_EQ(qel::SetReadTimeout(qel::NO_PORT, 100), 0) << "no port: the time-outs cannot be read";
    EXPECT_EQ(qel::SetReadTimeout(0xFFFFu, 100), 0);
}

TEST_F(SerialOnPty, ATimeoutBelowOneUnitStillEnds) {
    qel::SetReadTimeout(handle_, -5);
    EXPECT_EQ(PortTimeoutMs(handle_), 10u);
    qel::SetReadTimeout(handle_, 0);
    EXPECT_EQ(PortTimeoutMs(handle_), 10u);
}

TEST_F(SerialOnPty, ReadOfTenWhereSixThenFourArriveInTwoTimeouts) {
    qel::SetReadTimeout(handle_, 20);  // 200 ms per read call
    std::thread farEnd([&] {
        pty_.Write("ABCDEF");
        std::this_thread::sleep_for(300ms);  // inside the second read call
        pty_.Write("GHIJ");
    });
    std::array<std::uint8_t, 10> buffer{};
    std::uint32_t received = 0;
    EXPECT_EQ(qel::PortRead(handle_, buffer, &received), qel::PORT_OK);
    farEnd.join();
    EXPECT_EQ(received, 10u);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "ABCDEFGHIJ");
}

TEST_F(SerialOnPty, ReadOfTenWhereOnlySixArriveFailsWithSixReceived) {
    qel::SetReadTimeout(handle_, 10);
    pty_.Write("ABCDEF");
    std::array<std::uint8_t, 10> buffer{};
    std::uint32_t received = 0;
    EXPECT_EQ(qel::PortRead(handle_, buffer, &received), qel::PORT_FAILED);
    EXPECT_EQ(received, 6u);
}

TEST_F(SerialOnPty, ReadOfZeroBytesFails) {
    qel::SetReadTimeout(handle_, 2);
    std::uint32_t received = 99;
    EXPECT_EQ(qel::PortRead(handle_, std::span<std::uint8_t>(), &received), qel::PORT_FAILED);
    EXPECT_EQ(received, 0u);
}

TEST_F(SerialOnPty, WriteReachesTheFarEnd) {
    std::uint32_t written = 0;
    EXPECT_EQ(qel::PortWrite(handle_, Bytes("`0101\r"), &written), qel::PORT_OK);
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(pty_.Read(6, 1000), "`0101\r");
}

TEST_F(SerialOnPty, PurgeDropsStaleBytesAndRestoresTheWorkspaceTimeout) {
    pty_.Write("stale bytes from an earlier exchange");
    std::this_thread::sleep_for(20ms);
    workspace_.readTimeout = 37;
    qel::SetReadTimeout(handle_, 55);
    qel::PurgeInput(workspace_);
    EXPECT_EQ(PortTimeoutMs(handle_), 370u);
    pty_.Write("c00\r");
    std::array<std::uint8_t, 4> ack{};
    EXPECT_TRUE(qel::ReceiveExact(workspace_, ack));
    EXPECT_EQ(std::string(ack.begin(), ack.end()), "c00\r");
}

TEST_F(SerialOnPty, PurgeOfAQuietLineTakesAboutTwentyMilliseconds) {
    const auto start = std::chrono::steady_clock::now();
    qel::PurgeInput(workspace_);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 20ms);
    EXPECT_LT(took, 200ms);
}

TEST_F(SerialOnPty, SendFramePurgesThenWrites) {
    pty_.Write("junk");
    std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(qel::SendFrame(workspace_, Bytes("R40509\r")));
    EXPECT_EQ(pty_.Read(7, 1000), "R40509\r");
    pty_.Write("R40509\r");
    EXPECT_EQ(qel::CheckEcho(workspace_, Bytes("R40509\r")), 0) << "the junk was purged before sending";
}

struct EchoCase {
    const char* name;
    const char* sent;
    const char* echoed;
    int expected;
};

class CheckEchoCases : public SerialOnPty, public ::testing::WithParamInterface<EchoCase> {};

TEST_P(CheckEchoCases, JudgesTheEcho) {
    workspace_.readTimeout = 10;
    qel::SetReadTimeout(handle_, 10);
    pty_.Write(GetParam().echoed);
    EXPECT_EQ(qel::CheckEcho(workspace_, Bytes(GetParam().sent)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Echo, CheckEchoCases,
                         ::testing::Values(EchoCase{"equal", "`0101\r", "`0101\r", 0},
                                           EchoCase{"lastByteDiffers", "`0101\r", "`0101\n", 1},
                                           EchoCase{"firstByteDiffers", "`0101\r", "a0101\r", 1},
                                           EchoCase{"fiveOfSix", "`0101\r", "`0101", 2},
                                           EchoCase{"nothing", "`0101\r", "", 2},
                                           EchoCase{"emptyFrame", "", "", 2}),
                         testsupport::CaseName<EchoCase>);

TEST_F(SerialOnPty, ReceiveReplyCodes) {
    qel::SetReadTimeout(handle_, 10);
    pty_.Write("i12340:\r");
    std::array<std::uint8_t, 8> reply{};
    EXPECT_EQ(qel::ReceiveReply(workspace_, reply), 0);
    pty_.Write("i123");
    EXPECT_EQ(qel::ReceiveReply(workspace_, reply), 2);
}

TEST_F(SerialOnPty, ASecondOpenOfAnOpenPortFails) {
    EXPECT_EQ(qel::OpenPort(Settings(link_)), qel::NO_PORT);
    EXPECT_EQ(qel::OpenPort(Settings(pty_.SlavePath())), qel::NO_PORT) << "the same device by its own path";
    EXPECT_EQ(qel::ClosePortHandle(handle_), 0);
    handle_ = qel::OpenPort(Settings(link_));
    EXPECT_NE(handle_, qel::NO_PORT) << "closing releases the port";
}

TEST_F(SerialOnPty, ClosingTwiceFailsTheSecondTime) {
    EXPECT_EQ(qel::ClosePortHandle(handle_), 0);
    EXPECT_EQ(qel::ClosePortHandle(handle_), 7);
    handle_ = qel::NO_PORT;
}

TEST_F(SerialOnPty, AHangUpEndsAReadWithTheFailureCodeAtOnce) {
    qel::SetReadTimeout(handle_, 500);  // 5 s: the read must not wait for it
    pty_.CloseSlave();
    pty_.CloseMaster();
    const auto start = std::chrono::steady_clock::now();
    std::array<std::uint8_t, 4> buffer{};
    EXPECT_EQ(qel::PortRead(handle_, buffer), qel::PORT_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    std::uint32_t written = 0;
    EXPECT_NE(qel::PortWrite(handle_, Bytes("x"), &written), qel::PORT_OK);
    EXPECT_EQ(qel::CheckEcho(workspace_, Bytes("`0101\r")), 2);
}

struct LineCase {
    const char* name;
    std::uint16_t baud, dataBits, stopBits, parity;
    tcflag_t size;
    bool parityOn, odd, mark, twoStop;
    speed_t speed;
};

class LineSettingsCases : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineSettingsCases, MakeTheLineTermios) {
    const LineCase& c = GetParam();
    termios tio{};
    tio.c_lflag = ECHO | ICANON;
    tio.c_iflag = ICRNL;
    tio.c_oflag = OPOST;
    ASSERT_TRUE(qel::MakeLineTermios(Settings("x", c.baud, c.dataBits, c.stopBits, c.parity), tio));
    EXPECT_EQ(tio.c_cflag & CSIZE, c.size);
    EXPECT_EQ((tio.c_cflag & PARENB) != 0, c.parityOn);
    EXPECT_EQ((tio.c_cflag & PARODD) != 0, c.odd);
    EXPECT_EQ((tio.c_cflag & CMSPAR) != 0, c.mark);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStop);
    EXPECT_EQ((tio.c_iflag & INPCK) != 0, c.parityOn) << "parity checking with parity";
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ(cfgetispeed(&tio), c.speed);
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON), 0u) << "raw: no echo, no canonical processing";
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR), 0u) << "no CR/LF translation";
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0) << "waits are timed by poll, not in tenths of a second";
}

TEST_P(LineSettingsCases, ReachTheDevice) {
    // A pseudo-terminal keeps the speed and stop bits (it fixes size and parity itself).
    const LineCase& c = GetParam();
    PtyPair pty;
    const auto handle = qel::OpenPort(Settings(pty.SlavePath(), c.baud, c.dataBits, c.stopBits, c.parity));
    ASSERT_NE(handle, qel::NO_PORT);
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.Slave(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), c.speed);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStop);
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON), 0u);
    qel::ClosePortHandle(handle);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineSettingsCases,
    ::testing::Values(LineCase{"default9600_8E1", 9600, 8, 0, 2, CS8, true, false, false, false, B9600},
                      LineCase{"b19200_7O2", 19200, 7, 2, 1, CS7, true, true, false, true, B19200},
                      LineCase{"b1200_8N1", 1200, 8, 0, 0, CS8, false, false, false, false, B1200},
                      LineCase{"mark", 4800, 7, 0, 3, CS7, true, true, true, false, B4800},
                      LineCase{"space", 38400, 8, 0, 4, CS8, true, false, true, false, B38400},
                      LineCase{"oneAndAHalf", 57600, 5, 1, 0, CS5, false, false, false, true, B57600},
                      LineCase{"highByteOnly", 9600, 0x0108, 0x0100, 0x0102, CS8, true, false, false, false,
                               B9600}),
    testsupport::CaseName<LineCase>);

struct RefusedCase {
    const char* name;
    std::uint16_t baud, dataBits, stopBits, parity;
};

class RefusedLineSettings : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedLineSettings, FailTheOpenAndLeaveNoDescriptor) {
    const RefusedCase& c = GetParam();
    PtyPair pty;
    const int before = OpenDescriptorCount();
    EXPECT_EQ(qel::OpenPort(Settings(pty.SlavePath(), c.baud, c.dataBits, c.stopBits, c.parity)), qel::NO_PORT);
    EXPECT_EQ(OpenDescriptorCount(), before);
    const auto good = qel::OpenPort(Settings(pty.SlavePath()));
    EXPECT_NE(good, qel::NO_PORT) << "the refused open left the device closed";
    qel::ClosePortHandle(good);
}

INSTANTIATE_TEST_SUITE_P(Refused, RefusedLineSettings,
                         ::testing::Values(RefusedCase{"baud12345", 12345, 8, 0, 2},
                                           RefusedCase{"baud0", 0, 8, 0, 2},
                                           RefusedCase{"nineDataBits", 9600, 9, 0, 2},
                                           RefusedCase{"fourDataBits", 9600, 4, 0, 2},
                                           RefusedCase{"parity5", 9600, 8, 0, 5},
                                           RefusedCase{"stopCode3", 9600, 8, 3, 2}),
                         testsupport::CaseName<RefusedCase>);

TEST(SerialOpen, AMissingDeviceGivesNoHandle) {
    const int before = OpenDescriptorCount();
    EXPECT_EQ(qel::OpenPort(Settings("/tmp/nosuchport")), qel::NO_PORT);
    EXPECT_EQ(qel::OpenPort(Settings("ttyNOSUCH9")), qel::NO_PORT);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(SerialOpen, AFileThatIsNoTerminalFailsTheConfigurationWithoutALeak) {
    const std::string path = "/tmp/qplain" + std::to_string(getpid() % 10000);
    std::ofstream(path) << "x";
    const int before = OpenDescriptorCount();
    EXPECT_EQ(qel::OpenPort(Settings(path)), qel::NO_PORT);
    EXPECT_EQ(OpenDescriptorCount(), before);
    unlink(path.c_str());
}

TEST(SerialOpen, ANameWithoutSlashIsTakenUnderDev) {
    // /dev/ptmx is a terminal that any machine has: "ptmx" must reach it.
    const auto handle = qel::OpenPort(Settings("ptmx"));
    EXPECT_NE(handle, qel::NO_PORT);
    if (handle != qel::NO_PORT) {
        EXPECT_EQ(qel::ClosePortHandle(handle), 0);
    }
}

TEST(SerialOpen, TheNullDeviceTakesWritesAndNeverAnswers) {
    const auto handle = qel::OpenPort(Settings("NUL", 12345, 99, 99, 99));  // no line configuration
    ASSERT_NE(handle, qel::NO_PORT);
    std::uint32_t written = 0;
    EXPECT_EQ(qel::PortWrite(handle, Bytes("`0101\r"), &written), qel::PORT_OK);
    EXPECT_EQ(written, 6u);
    std::array<std::uint8_t, 4> buffer{};
    EXPECT_EQ(qel::PortRead(handle, buffer), qel::PORT_FAILED);
    DriverWorkspace workspace{};
    workspace.portHandle = handle;
    workspace.readTimeout = 10;
    EXPECT_EQ(qel::CheckEcho(workspace, Bytes("`0101\r")), 2);
    const auto second = qel::OpenPort(Settings("NUL"));
    EXPECT_NE(second, qel::NO_PORT) << "the null device is not held exclusively";
    qel::ClosePortHandle(second);
    EXPECT_EQ(qel::ClosePortHandle(handle), 0);
    EXPECT_EQ(qel::OpenPort(Settings("nul")), qel::NO_PORT) << "the name is case-sensitive: /dev/nul";
}

TEST(SerialLine, EveryOperationFailsWithoutAPort) {
    DriverWorkspace workspace{};
    workspace.readTimeout = 100;
    EXPECT_FALSE(qel::SendFrame(workspace, Bytes("`0101\r")));
    std::array<std::uint8_t, 4> buffer{};
    EXPECT_FALSE(qel::ReceiveExact(workspace, buffer));
    EXPECT_EQ(qel::CheckEcho(workspace, Bytes("`0101\r")), 2);
    EXPECT_EQ(qel::ReceiveReply(workspace, buffer), 2);
    qel::PurgeInput(workspace);
    EXPECT_EQ(qel::ClosePortHandle(qel::NO_PORT), 7);
}

}  // namespace
