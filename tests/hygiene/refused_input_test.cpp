// Records the driver cannot use are refused with 1, before any traffic: a
// missing parameter block on every operation that takes one, a missing value
// array, and counts outside 1..100 on every transfer and block check.
#include <gtest/gtest.h>

#include "support/case_name.h"
#include "support/host_records.h"
#include "support/log_capture.h"
#include "support/memory_line.h"

namespace {

struct RefusedCase {
    const char* name;
    std::int32_t operation;
    bool nullParameters;
    bool nullValues;
    std::int32_t count;
};

class Refused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(Refused, WithOneAndNoTraffic) {
    const RefusedCase& c = GetParam();
    testsupport::MemoryLine line;
    line.SetEcho(true);
    line.SetResponder([](std::string_view, testsupport::MemoryLine& l) { l.Feed("c00\r"); });
    testsupport::LogCapture log;
    DriverWorkspace workspace{};
    QelSetup setup = testsupport::SetupFor("q");
    QelRequest request{&workspace, QEL_INIT, 1, 0, &setup};
    ASSERT_EQ(QelMain(&request), 0);
    const std::size_t writesBefore = line.Writes().size();

    std::uint16_t values[4] = {0, 1, 0, 0};
    GateTransfer transfer = testsupport::SingleTransfer("002DR0001", 2, AREA_DR, 1, c.nullValues ? nullptr : values);
    transfer.count = c.count;
    GateDefinition definition{"002DR0001", 0, DATA_TYPE_WORD, c.count, 0, 0, 0, 0, 0};
    void* block = &transfer;
    if (c.operation == QEL_CHECK_GATE || c.operation == QEL_CHECK_BLOCK) block = &definition;
    request.operation = c.operation;
    request.parameters = c.nullParameters ? nullptr : block;
    EXPECT_EQ(QelMain(&request), 1);
    EXPECT_EQ(line.Writes().size(), writesBefore);
    EXPECT_EQ(line.SleptMs(), 0u);
}

#define NO_BLOCK(op) RefusedCase{#op "NullParameters", op, true, false, 1}
#define TRANSFER(op)                                                      \
    RefusedCase{#op "NullValues", op, false, true, 1},                    \
    RefusedCase{#op "CountZero", op, false, false, 0},                    \
    RefusedCase{#op "CountMinusOne", op, false, false, -1},               \
    RefusedCase{#op "Count101", op, false, false, 101}

INSTANTIATE_TEST_SUITE_P(Records, Refused, ::testing::Values(
    NO_BLOCK(QEL_INIT), NO_BLOCK(QEL_CHECK_GATE), NO_BLOCK(QEL_CHECK_BLOCK), NO_BLOCK(QEL_READ),
    NO_BLOCK(QEL_READ_BLOCK), NO_BLOCK(QEL_WRITE), NO_BLOCK(QEL_DESCRIBE), NO_BLOCK(QEL_RECONFIGURE),
    TRANSFER(QEL_READ), TRANSFER(QEL_READ_BLOCK), TRANSFER(QEL_WRITE),
    RefusedCase{"QEL_CHECK_BLOCKCountZero", QEL_CHECK_BLOCK, false, false, 0},
    RefusedCase{"QEL_CHECK_BLOCKCountMinusOne", QEL_CHECK_BLOCK, false, false, -1},
    RefusedCase{"QEL_CHECK_BLOCKCount101", QEL_CHECK_BLOCK, false, false, 101}),
    testsupport::CaseName<RefusedCase>);

}  // namespace
