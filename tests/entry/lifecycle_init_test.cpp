// QEL_INIT over a real pseudo-terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lifecycle_fixture.h"
#include "support/case_name.h"

namespace lifecycle_test {
namespace {

using InitQel = QelOnPty;

TEST_F(InitQel, OpensThePortAndPreparesTheWorkspace) {
    FillWorkspace();
    const DriverWorkspace before = workspace_;
    QelSetup setup = SetupFor(link_, 1, 250);
    ASSERT_EQ(Init(setup, 7), 0);

    EXPECT_NE(workspace_.portHandle, qel::NO_PORT);
    EXPECT_FALSE(PortIsFree(link_)) << "the QEL holds its port";
    EXPECT_EQ(PortTimeoutMs(workspace_.portHandle), 2500u);
    EXPECT_EQ(workspace_.portEnabled, 1);
    EXPECT_EQ(workspace_.readTimeout, 250);
    EXPECT_EQ(workspace_.qelNumber, 7);
    EXPECT_STREQ(workspace_.port.portName, link_.c_str());
    EXPECT_EQ(std::memcmp(workspace_.port.portName, setup.portName, PORT_NAME_SIZE), 0);
    EXPECT_EQ(workspace_.port.baudRate, 9600);
    EXPECT_EQ(workspace_.port.dataBits, 8);
    EXPECT_EQ(workspace_.port.stopBits, 0);
    EXPECT_EQ(workspace_.port.parity, 2);
    EXPECT_EQ(workspace_.port.lineControl, 8);
    EXPECT_EQ(LastStation(), NO_STATION);
    for (unsigned station = 0; station < STATION_COUNT; ++station) {
        EXPECT_EQ(workspace_.forceFlags[station], 0) << station;
        EXPECT_EQ(std::memcmp(workspace_.stationModel[station], "FA2", 4), 0) << station;
        EXPECT_EQ(static_cast<unsigned char>(workspace_.stationModel[station][4]), 0xA5) << station;
    }
    EXPECT_EQ(std::memcmp(workspace_.gasScratch, before.gasScratch, sizeof before.gasScratch), 0);

    const std::vector<LogLine> log = Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_TRUE(IsVersionLine(log[0])) << log[0].text;
    EXPECT_EQ(log[1], Info(kNoModelFile));
    EXPECT_EQ(log[2], Info(Loaded(7)));
}

TEST_F(InitQel, StoresTheHostsLineSettingsWithLineControlEight) {
    workspace_.port.lineControl = 0x0303;
    QelSetup setup = SetupFor(link_);
    setup.baudRate = 19200;
    setup.stopBits = 2;
    ASSERT_EQ(Init(setup), 0);
    EXPECT_EQ(workspace_.port.baudRate, 19200);
    EXPECT_EQ(workspace_.port.dataBits, 8);
    EXPECT_EQ(workspace_.port.stopBits, 2);
    EXPECT_EQ(workspace_.port.parity, 2);
    EXPECT_EQ(workspace_.port.lineControl, 8);
}

struct TimeoutCase {
    const char* name;
    std::int32_t given;
    std::int32_t stored;
    std::uint32_t portMs;  // 0: left to the serial layer
};

void PrintTo(const TimeoutCase& row, std::ostream* out) { *out << row.name; }

class InitReadTimeout : public QelOnPty, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(InitReadTimeout, IsRaisedToOneHundred) {
    const TimeoutCase& row = GetParam();
    ASSERT_EQ(Init(SetupFor(link_, 1, row.given)), 0);
    EXPECT_EQ(workspace_.readTimeout, row.stored);
    if (row.portMs != 0) {
        EXPECT_EQ(PortTimeoutMs(workspace_.portHandle), row.portMs) << "set unchanged";
    }
}

const TimeoutCase kTimeouts[] = {
    {"Zero", 0, 100, 0}, {"MinusFive", -5, 100, 0},    {"NinetyNine", 99, 100, 990},
    {"Hundred", 100, 100, 1000}, {"TwoFifty", 250, 250, 2500},
};

INSTANTIATE_TEST_SUITE_P(Timeouts, InitReadTimeout, ::testing::ValuesIn(kTimeouts),
                         testsupport::CaseName<TimeoutCase>);

TEST_F(InitQel, PortThatCannotBeOpenedLeavesTheWorkspaceAsItWas) {
    FillWorkspace();
    workspace_.lastStation = 1234;
    std::memset(workspace_.forceFlags, 1, sizeof workspace_.forceFlags);
    std::memcpy(workspace_.stationModel[3], "XYZ", 4);
    workspace_.portEnabled = 0;
    DriverWorkspace expected = workspace_;
    expected.portEnabled = 1;

    EXPECT_EQ(Init(SetupFor(kMissingPort, 1, 300)), 2);
    EXPECT_TRUE(SameBytes(workspace_, expected)) << "only portEnabled is written";

    const std::vector<LogLine> log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(IsVersionLine(log[0])) << log[0].text;
    EXPECT_EQ(log[1], Info(std::string("DAVEV : Fail to open ") + kMissingPort));
}

TEST_F(InitQel, FailMessageNamesAPortNameOfTwelveCharacters) {
    QelSetup setup = SetupFor("");
    std::memcpy(setup.portName, "/tmp/q-nope1", PORT_NAME_SIZE);  // no terminating zero
    EXPECT_EQ(Init(setup), 2);
    const std::vector<LogLine> log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], Info("DAVEV : Fail to open /tmp/q-nope1"));
}

// Mended: a Ready QEL initialised again with a port that cannot be opened
// has closed its old port; the workspace shows no port rather than a handle
// that is closed.
TEST_F(InitQel, OnAReadyQelWithABadPortTheHeldPortIsClosed) {
    ASSERT_EQ(Init(), 0);
    workspace_.lastStation = 12;
    workspace_.forceFlags[12] = 1;
    std::memcpy(workspace_.stationModel[12], "FA3", 4);
    DriverWorkspace expected = workspace_;
    expected.portHandle = qel::NO_PORT;
    log_.Clear();

    EXPECT_EQ(Init(SetupFor(kMissingPort)), 2);
    EXPECT_TRUE(SameBytes(workspace_, expected));
    EXPECT_TRUE(PortIsFree(link_)) << "the old port was closed";
    ASSERT_EQ(Log().size(), 2u);
    EXPECT_EQ(Log()[1], Info(std::string("DAVEV : Fail to open ") + kMissingPort));
}

TEST_F(InitQel, PortNotEnabledLogsOnlyTheVersionAndOpensNothing) {
    FillWorkspace();
    DriverWorkspace expected = workspace_;
    expected.portEnabled = 0;
    EXPECT_EQ(Init(SetupFor(link_, 0)), 0);
    EXPECT_TRUE(SameBytes(workspace_, expected));
    EXPECT_TRUE(PortIsFree(link_));
    const std::vector<LogLine> log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(IsVersionLine(log[0])) << log[0].text;
}

TEST_F(InitQel, PortNotEnabledOnAReadyQelKeepsItsPort) {
    ASSERT_EQ(Init(), 0);
    DriverWorkspace expected = workspace_;
    expected.portEnabled = 0;
    EXPECT_EQ(Init(SetupFor(link_, 0)), 0);
    EXPECT_TRUE(SameBytes(workspace_, expected));
    EXPECT_FALSE(PortIsFree(link_));
}

// Mended: initialising a Ready QEL again closes its port before opening it,
// so the exclusive open succeeds and no descriptor is left behind.
TEST_F(InitQel, RepeatedOnTheSameQelSucceedsAndKeepsNoExtraDescriptor) {
    ASSERT_EQ(Init(), 0);
    const int descriptors = testsupport::OpenDescriptorCount();
    for (int round = 0; round < 3; ++round) {
        log_.Clear();
        ASSERT_EQ(Init(SetupFor(link_, 1, 150)), 0) << round;
        EXPECT_NE(workspace_.portHandle, qel::NO_PORT);
        EXPECT_EQ(Log().size(), 3u);
        EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptors) << round;
    }
    EXPECT_FALSE(PortIsFree(link_));
    ASSERT_EQ(Call(QEL_CLOSE_PORT), 0);
    EXPECT_TRUE(PortIsFree(link_));
}

TEST_F(InitQel, LoadsTheStationModelFile) {
    testsupport::ScratchDirectory::WriteFile("davEV07.int", "001FA3\n002FA3\n");
    ASSERT_EQ(Init(), 0);
    EXPECT_STREQ(workspace_.stationModel[1], "FA3");
    EXPECT_STREQ(workspace_.stationModel[2], "FA3");
    EXPECT_STREQ(workspace_.stationModel[3], "FA2");
    const std::vector<LogLine> log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], Info(Loaded(7)));
}

TEST_F(InitQel, OverwritesModelsOfAnEarlierFileAndIgnoresAnIllegalOne) {
    testsupport::ScratchDirectory::WriteFile("davEV07.int", "001FA3\n");
    ASSERT_EQ(Init(), 0);
    ASSERT_STREQ(workspace_.stationModel[1], "FA3");
    testsupport::ScratchDirectory::WriteFile("davEV07.int", "002FA3\n256FA3\n");
    log_.Clear();
    EXPECT_EQ(Init(), 0) << "an illegal file does not fail the initialisation";
    for (unsigned station = 0; station < STATION_COUNT; ++station) {
        EXPECT_STREQ(workspace_.stationModel[station], "FA2") << station;
    }
    const std::vector<LogLine> log = Log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1], Info("DavEV: Line (1) in Init file is illegal"));
    EXPECT_EQ(log[2], Info("DavEV: Disregarding Init file"));
    EXPECT_EQ(log[3], Info(Loaded(7)));
}

TEST_F(InitQel, NamesTheModelFileAndTheMessageAfterTheRequestsQel) {
    testsupport::ScratchDirectory::WriteFile("davEV42.int", "009FA3\n");
    workspace_.qelNumber = 3;
    ASSERT_EQ(Init(SetupFor(link_), 42), 0);
    EXPECT_EQ(workspace_.qelNumber, 42);
    EXPECT_STREQ(workspace_.stationModel[9], "FA3");
    EXPECT_EQ(Log().back(), Info(Loaded(42)));
}

}  // namespace
}  // namespace lifecycle_test
