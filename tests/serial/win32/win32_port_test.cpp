// The Win32 serial backend on the COM ports of a wine prefix: COM7 and COM12
// lead to the simulator's pseudo-terminal, COM9 to a device that is not
// there (scripts/wine-run.sh --fasim sets them up). A pty carries no
// parity, so the line is 9600 8N1.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "serial/line.h"
#include "serial/serial_port.h"
#include "serial/win32/win32_device_name.h"
#include "support/case_name.h"
#include "support/host_records.h"
#include "vuzorur.h"

namespace {

using Clock = std::chrono::steady_clock;

PortSettings LineTo(const char* name) {
    PortSettings settings{};
    std::string(name).copy(settings.portName, sizeof settings.portName - 1);
    settings.baudRate = 9600;
    settings.dataBits = 8;
    settings.stopBits = 0;
    settings.parity = 0;
    settings.lineControl = 8;
    return settings;
}

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct NameCase {
    const char* name;
    const char* port;
    const char* device;
};

class DeviceNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(DeviceNameTest, TwoDigitComNamesGoThroughTheDeviceNamespace) {
    char device[qel::DEVICE_NAME_SIZE];
    qel::DeviceName(LineTo(GetParam().port), device);
    EXPECT_STREQ(device, GetParam().device);
}

INSTANTIATE_TEST_SUITE_P(Names, DeviceNameTest,
                         ::testing::Values(NameCase{"Com9", "COM9", "COM9"},
                                           NameCase{"Com10", "COM10", "\\\\.\\COM10"},
                                           NameCase{"Com99MixedCase", "cOm99", "\\\\.\\cOm99"},
                                           NameCase{"LetterAfterDigits", "COM1A", "COM1A"},
                                           NameCase{"AlreadyPrefixed", "\\\\.\\COM12", "\\\\.\\COM12"},
                                           NameCase{"ElevenCharacters", "COM12345678", "\\\\.\\COM12345678"}),
                         testsupport::CaseName<NameCase>);

struct OpenCase {
    const char* name;
    const char* port;
    bool opens;
};

class OpenCloseTest : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenCloseTest, OpensAndClosesTheDevice) {
    const qel::PortHandle handle = qel::OpenPort(LineTo(GetParam().port));
    if (!GetParam().opens) {
        EXPECT_EQ(handle, qel::NO_PORT);
        return;
    }
    ASSERT_NE(handle, qel::NO_PORT);
    EXPECT_EQ(qel::ClosePortHandle(handle), 0);
    EXPECT_EQ(qel::ClosePortHandle(handle), 7) << "a handle closed once is no longer the system's";
}

INSTANTIATE_TEST_SUITE_P(Ports, OpenCloseTest,
                         ::testing::Values(OpenCase{"Com7", "COM7", true},
                                           OpenCase{"Com12ThroughTheDeviceNamespace", "COM12", true},
                                           OpenCase{"MissingDevice", "COM9", false},
                                           OpenCase{"NoSuchPort", "COM33", false}),
                         testsupport::CaseName<OpenCase>);

class Win32LineTest : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = qel::OpenPort(LineTo("COM7"));
        ASSERT_NE(handle_, qel::NO_PORT) << "COM7 must lead to the simulator";
    }
    void TearDown() override {
        if (handle_ != qel::NO_PORT) {
            EXPECT_EQ(qel::ClosePortHandle(handle_), 0);
        }
    }
    qel::PortHandle handle_ = qel::NO_PORT;
};

TEST_F(Win32LineTest, OpensWithAOneSecondReadTimeout) {
    EXPECT_EQ(qel::SetReadTimeout(handle_, 2), 100);
    EXPECT_EQ(qel::SetReadTimeout(handle_, 100), 2);
}

TEST_F(Win32LineTest, AQuietReadEndsAtTheTwentyMillisecondTimeout) {
    qel::SetReadTimeout(handle_, 2);
    std::uint8_t byte = 0;
    std::uint32_t received = 99;
    const auto start = Clock::now();
    EXPECT_EQ(qel::PortRead(handle_, {&byte, 1}, &received), 7);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_EQ(received, 0u);
    EXPECT_GE(elapsed, 10) << "the read waited for its time-out";
    EXPECT_LT(elapsed, 800) << "a 20 ms time-out, not the 1 s one of the open";
}

TEST_F(Win32LineTest, APartialReadHandsOverWhatArrivedByTheTotalTimeout) {
    qel::SetReadTimeout(handle_, 30);  // 300 ms for each read call
    const std::string_view sent = "ZZZZZZ";
    std::uint32_t written = 0;
    ASSERT_EQ(qel::PortWrite(handle_, {reinterpret_cast<const std::uint8_t*>(sent.data()), sent.size()}, &written), 0);
    ASSERT_EQ(written, 6u);

    // The line echoes the six bytes; four more never come.
    std::uint8_t buffer[10] = {};
    std::uint32_t received = 0;
    const auto start = Clock::now();
    EXPECT_EQ(qel::PortRead(handle_, buffer, &received), 7);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_EQ(received, 6u);
    EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(buffer), 6), sent);
    EXPECT_GE(elapsed, 450) << "one time-out for the six bytes, one for the missing four";
    EXPECT_LT(elapsed, 5000);
}

// The purge's read: what waits comes at once, a quiet line ends it after the
// wait for a first byte, and the port keeps its read time-out.
TEST_F(Win32LineTest, ReadWaitingTakesWhatWaitsAtOnceThenWaitsForAFirstByte) {
    const std::uint8_t frame[] = {'Z', 'Z', 'Z', 'Z', 'Z', 'Z'};
    std::uint32_t got = 0;
    ASSERT_EQ(qel::PortWrite(handle_, frame, &got), 0);
    ::Sleep(100);  // the echo is back
    std::uint8_t buffer[16] = {};
    auto start = Clock::now();
    ASSERT_TRUE(qel::PlatformSerialBackend().readWaiting(handle_, std::span(buffer), 500, &got));
    EXPECT_EQ(got, 6u);
    EXPECT_LT(MillisecondsSince(start), 300) << "what waits, without waiting for the rest of the buffer";
    start = Clock::now();
    ASSERT_TRUE(qel::PlatformSerialBackend().readWaiting(handle_, std::span(buffer), 20, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_GE(MillisecondsSince(start), 15);
    EXPECT_LT(MillisecondsSince(start), 300);
    EXPECT_EQ(qel::SetReadTimeout(handle_, 100), 100) << "the one-second time-out of the open is back";
}

// ClearCommError works on the port: it reports the waiting echo, and a clean
// line no parity, framing, overrun or break error, so the echo is judged good.
// (A pty carries none of those errors, and wine reports none, so a line error
// itself cannot be raised here; the in-memory line tests that judgement.)
TEST_F(Win32LineTest, ACleanLineBringsNoLineErrorAndAGoodEcho) {
    DriverWorkspace workspace{};
    workspace.portHandle = handle_;
    workspace.readTimeout = 50;
    const std::uint8_t frame[] = {'Z', 'Z', 'Z', 'Z'};
    ASSERT_TRUE(qel::SendFrame(workspace, frame));
    ::Sleep(100);  // the echo is back
    bool pending = false;
    ASSERT_TRUE(qel::PlatformSerialBackend().inputPending(handle_, &pending)) << "ClearCommError failed";
    EXPECT_TRUE(pending);
    EXPECT_FALSE(qel::PortLineErrors(handle_));
    EXPECT_EQ(qel::CheckEcho(workspace, frame), 0);
}

// A whole session through QelMain on COM12: the driver's own open with the
// "\\.\" prefix, a write and a read of a data register, and the close.
TEST(Win32Session, WritesAndReadsBackThroughComTwelve) {
    DriverWorkspace workspace{};
    QelRequest request{};
    request.workspace = &workspace;
    request.qelNumber = 1;

    QelSetup setup = testsupport::SetupFor("COM12");
    setup.parity = 0;
    request.operation = QEL_INIT;
    request.parameters = &setup;
    ASSERT_EQ(QelMain(&request), 0);

    GateDefinition gate{};
    gate.gas = "001DR0010";
    gate.dataType = DATA_TYPE_WORD;
    request.operation = QEL_CHECK_GATE;
    request.parameters = &gate;
    ASSERT_EQ(QelMain(&request), 0);

    std::uint16_t values[2] = {0, 4660};
    GateTransfer transfer = testsupport::SingleTransfer(gate.gas, gate.station, gate.areaCode, gate.element, values);
    transfer.dataType = DATA_TYPE_WORD;
    request.operation = QEL_WRITE;
    request.parameters = &transfer;
    EXPECT_EQ(QelMain(&request), 0);

    values[1] = 0;
    request.operation = QEL_READ;
    EXPECT_EQ(QelMain(&request), 0);
    EXPECT_EQ(values[1], 4660);

    request.operation = QEL_CLOSE_PORT;
    request.parameters = nullptr;
    EXPECT_EQ(QelMain(&request), 0);
    EXPECT_EQ(workspace.portHandle, 0u);
}

}  // namespace
