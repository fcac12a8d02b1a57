// A gate address that holds printf conversions reaches the log as written:
// the driver hands it over as an argument, never as the format.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/case_name.h"
#include "support/host_records.h"
#include "support/log_capture.h"
#include "support/memory_line.h"

namespace {

struct LiteralCase {
    const char* name;
    std::int32_t operation;
    std::uint32_t areaCode;
    std::uint16_t value;
    std::vector<std::string> expected;  // lines that must be in the log
};

class LoggedLiterally : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(LoggedLiterally, EveryMessage) {
    const LiteralCase& c = GetParam();
    testsupport::MemoryLine line;  // the station takes its selection, and then answers nothing
    line.SetEcho(true);
    line.SetResponder([](std::string_view written, testsupport::MemoryLine& l) {
        if (written.front() == '`') l.Feed("c00\r");
    });
    testsupport::LogCapture log;
    DriverWorkspace workspace{};
    QelSetup setup = testsupport::SetupFor("q");
    QelRequest request{&workspace, QEL_INIT, 1, 0, &setup};
    ASSERT_EQ(QelMain(&request), 0);
    std::uint16_t values[4] = {0, c.value, 0, 0};
    GateTransfer transfer = testsupport::SingleTransfer("001dr%n%s", 1, c.areaCode, 1, values);
    request.operation = c.operation;
    request.parameters = &transfer;
    EXPECT_NE(QelMain(&request), 0);
    std::vector<std::string> texts;
    for (const auto& l : log.Lines()) texts.push_back(l.text);
    for (const auto& want : c.expected) EXPECT_NE(std::find(texts.begin(), texts.end(), want), texts.end()) << want;
}

INSTANTIATE_TEST_SUITE_P(Gas, LoggedLiterally, ::testing::Values(
    LiteralCase{"Read", QEL_READ, AREA_DR, 0,
                {"DAVEV: Gate 001DR%N%S, Read Retry 1", "DAVEV: Read failed. Gate = 001dr%n%s, rc = 2"}},
    LiteralCase{"Write", QEL_WRITE, AREA_DR, 7, {"DAVEV: Write failed. Gate = 001DR%N%S , rc = 2"}},
    LiteralCase{"ReadOnly", QEL_WRITE, AREA_TM, 7, {"DAVEV: Can't write to a 'Read-Only' Gate. GAS: 001DR%N%S", "DAVEV: Write failed. Gate = 001DR%N%S , rc = 1"}},
    LiteralCase{"OutOfRange", QEL_WRITE, AREA_CP, 10000, {"DAVEV:Value to write out of range. Gate=001DR%N%S"}}),
    testsupport::CaseName<LiteralCase>);

}  // namespace
