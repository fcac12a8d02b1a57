// The lifecycle operations through QelMain: their slots, requests without a
// workspace or parameter block, and a close the system refuses.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "entry/operation_table.h"
#include "lifecycle_fixture.h"
#include "support/case_name.h"
#include "support/memory_line.h"

namespace lifecycle_test {
namespace {

TEST(LifecycleSlots, EachCodeReachesItsHandler) {
    EXPECT_EQ(qel::FindOperation(QEL_INIT), &qel::InitQel);
    EXPECT_EQ(qel::FindOperation(QEL_WARM_START), &qel::WarmStart);
    EXPECT_EQ(qel::FindOperation(QEL_CLOSE), &qel::Close);
    EXPECT_EQ(qel::FindOperation(QEL_CLOSE_PORT), &qel::ClosePort);
    EXPECT_EQ(qel::FindOperation(QEL_OPEN_PORT), &qel::OpenPortOperation);
    EXPECT_EQ(qel::FindOperation(QEL_DESCRIBE), &qel::Describe);
    EXPECT_EQ(qel::FindOperation(QEL_RECONFIGURE), &qel::Reconfigure);
}

struct MissingCase {
    const char* name;
    std::int32_t operation;
    bool withWorkspace;
    bool withParameters;
};

void PrintTo(const MissingCase& row, std::ostream* out) { *out << row.name; }

class MissingRecord : public ::testing::TestWithParam<MissingCase> {
protected:
    testsupport::ScratchDirectory directory_;
    testsupport::LogCapture log_;
};

TEST_P(MissingRecord, IsRefusedAndTouchesNothing) {
    const MissingCase& row = GetParam();
    DriverWorkspace workspace;
    std::memset(&workspace, 0, sizeof workspace);
    workspace.qelNumber = 7;
    const DriverWorkspace before = workspace;
    QelSetup setup = SetupFor("NUL");
    PortUpdate update = Update("NUL");
    QelRequest request{};
    request.operation = row.operation;
    request.qelNumber = 7;
    request.workspace = row.withWorkspace ? &workspace : nullptr;
    if (row.withParameters) {
        request.parameters = row.operation == QEL_INIT ? static_cast<void*>(&setup) : static_cast<void*>(&update);
    }
    EXPECT_EQ(QelMain(&request), 1);
    EXPECT_TRUE(SameBytes(workspace, before));
    EXPECT_TRUE(log_.Lines().empty());
}

const MissingCase kMissing[] = {
    {"InitWithoutWorkspace", QEL_INIT, false, true},
    {"InitWithoutSetup", QEL_INIT, true, false},
    {"WarmStartWithoutWorkspace", QEL_WARM_START, false, false},
    {"CloseWithoutWorkspace", QEL_CLOSE, false, false},
    {"ClosePortWithoutWorkspace", QEL_CLOSE_PORT, false, false},
    {"OpenPortWithoutWorkspace", QEL_OPEN_PORT, false, false},
    {"ReconfigureWithoutWorkspace", QEL_RECONFIGURE, false, true},
    {"ReconfigureWithoutUpdate", QEL_RECONFIGURE, true, false},
    {"DescribeWithoutInfo", QEL_DESCRIBE, true, false},
};

INSTANTIATE_TEST_SUITE_P(Requests, MissingRecord, ::testing::ValuesIn(kMissing), testsupport::CaseName<MissingCase>);

// A serial layer whose close the system refuses while asked to.
bool refuseClose = false;

bool CloseUnlessRefused(qel::PortHandle handle) {
    if (refuseClose) return false;
    return qel::PlatformSerialBackend().close(handle);
}

class RefusedClose : public QelOnPty {
protected:
    void SetUp() override {
        QelOnPty::SetUp();
        backend_ = qel::PlatformSerialBackend();
        backend_.close = &CloseUnlessRefused;
        qel::UseSerialBackend(&backend_);
    }
    void TearDown() override {
        refuseClose = false;
        QelOnPty::TearDown();
        qel::UseSerialBackend(nullptr);
    }
    qel::SerialBackend backend_{};
};

TEST_F(RefusedClose, CloseAndClosePortReturnTwoAndKeepTheHandle) {
    ASSERT_EQ(Init(), 0);
    const DriverWorkspace ready = workspace_;
    refuseClose = true;
    EXPECT_EQ(Call(QEL_CLOSE_PORT), 2);
    EXPECT_TRUE(SameBytes(workspace_, ready));
    EXPECT_EQ(Call(QEL_CLOSE), 2);
    EXPECT_TRUE(SameBytes(workspace_, ready));
    refuseClose = false;
    EXPECT_EQ(Call(QEL_CLOSE), 0);
    EXPECT_EQ(workspace_.portHandle, qel::NO_PORT);
    EXPECT_TRUE(PortIsFree(link_));
}

// A held handle that cannot be closed stays in the workspace; the exclusive
// port then cannot be opened a second time.
TEST_F(RefusedClose, ReopeningKeepsAHandleThatCannotBeClosed) {
    ASSERT_EQ(Init(), 0);
    const qel::PortHandle held = workspace_.portHandle;
    refuseClose = true;
    log_.Clear();

    EXPECT_EQ(Call(QEL_OPEN_PORT), 2);
    EXPECT_EQ(workspace_.portHandle, held);
    EXPECT_EQ(ReconfigureTo(Update(link_, 0)), 2);
    EXPECT_EQ(workspace_.portHandle, held);
    EXPECT_EQ(Init(), 2);
    EXPECT_EQ(workspace_.portHandle, held);
    ASSERT_EQ(Log().size(), 2u);
    EXPECT_EQ(Log()[1], Info("DAVEV : Fail to open " + link_));

    refuseClose = false;
    EXPECT_EQ(Call(QEL_CLOSE_PORT), 0);
    EXPECT_TRUE(PortIsFree(link_));
}

// Codes 5 and 6 reach the same read: the same request gives the same result,
// the same frames on the line, the same messages and the same workspace.
TEST(ReadCodes, FiveAndSixAlike) {
    testsupport::ScratchDirectory directory;
    testsupport::LogCapture log;
    testsupport::MemoryLine line;
    line.SetEcho(true);

    struct Outcome {
        std::int32_t result;
        std::vector<std::string> writes;
        std::vector<LogLine> log;
        DriverWorkspace workspace;
        std::array<std::uint16_t, 3> values;
    };
    auto readWith = [&](std::int32_t code) {
        Outcome outcome{};
        std::memset(&outcome.workspace, 0, sizeof outcome.workspace);
        QelSetup setup = SetupFor("COM1");
        QelRequest request{};
        request.workspace = &outcome.workspace;
        request.qelNumber = 7;
        request.operation = QEL_INIT;
        request.parameters = &setup;
        EXPECT_EQ(QelMain(&request), 0);
        log.Clear();
        const std::size_t before = line.Writes().size();

        outcome.values = {0x1111, 0x2222, 0x3333};
        GateTransfer transfer{};
        transfer.gas = "001DR0010";
        transfer.station = 1;
        transfer.areaCode = AREA_DR;
        transfer.element = 10;
        transfer.dataType = DATA_TYPE_WORD;
        transfer.count = 1;
        transfer.values = outcome.values.data();
        request.operation = code;
        request.parameters = &transfer;
        outcome.result = QelMain(&request);

        const std::vector<std::string> writes = line.Writes();
        outcome.writes.assign(writes.begin() + static_cast<std::ptrdiff_t>(before), writes.end());
        outcome.log = log.Lines();
        request.operation = QEL_CLOSE_PORT;
        EXPECT_EQ(QelMain(&request), 0);
        return outcome;
    };

    const Outcome five = readWith(QEL_READ);
    const Outcome six = readWith(QEL_READ_BLOCK);
    EXPECT_NE(six.result, 0) << "nobody answers";
    EXPECT_EQ(five.result, six.result);
    EXPECT_FALSE(six.writes.empty());
    EXPECT_EQ(five.writes, six.writes);
    EXPECT_EQ(five.log, six.log);
    EXPECT_TRUE(SameBytes(five.workspace, six.workspace));
    EXPECT_EQ(five.values, six.values);
}

// On a port the system opens only once, initialising and opening again work
// because the held port is closed first: every open but the first follows a close.
TEST(ExclusivePort, EveryReopenFollowsAClose) {
    testsupport::ScratchDirectory directory;
    testsupport::LogCapture log;
    testsupport::MemoryLine line;
    DriverWorkspace workspace;
    std::memset(&workspace, 0, sizeof workspace);
    QelSetup setup = SetupFor("COM1");
    QelRequest request{};
    request.workspace = &workspace;
    request.qelNumber = 7;
    request.operation = QEL_INIT;
    request.parameters = &setup;
    EXPECT_EQ(QelMain(&request), 0);
    EXPECT_EQ(QelMain(&request), 0);
    request.operation = QEL_OPEN_PORT;
    EXPECT_EQ(QelMain(&request), 0);
    PortUpdate update = Update("COM1");
    request.operation = QEL_RECONFIGURE;
    request.parameters = &update;
    EXPECT_EQ(QelMain(&request), 0);
    EXPECT_EQ(line.Opens(), 4);
    EXPECT_EQ(line.Closes(), 3);
    EXPECT_TRUE(line.IsOpen());
    request.operation = QEL_CLOSE;
    EXPECT_EQ(QelMain(&request), 0);
    EXPECT_EQ(line.Closes(), 4);
    EXPECT_FALSE(line.IsOpen());
}

}  // namespace
}  // namespace lifecycle_test
