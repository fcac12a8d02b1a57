// ReadAck over the in-memory line: what it receives, returns and logs.
#include "transact/receive_ack.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/serial_port.h"
#include "support/case_name.h"
#include "support/log_capture.h"
#include "support/memory_line.h"

namespace qel::test {
namespace {

using testsupport::LogLine;

struct AckCase {
    const char* name;
    std::string answer;        // what the controller sends
    int result;
    std::vector<LogLine> log;  // every line logged, in order
    std::size_t leftOver;      // characters ReadAck leaves on the line
};

class ReadAckCases : public ::testing::TestWithParam<AckCase> {
protected:
    void SetUp() override {
        PortSettings settings{};
        workspace_.portHandle = OpenPort(settings);
        ASSERT_EQ(workspace_.portHandle, testsupport::MemoryLine::kHandle);
        workspace_.readTimeout = 100;
    }
    testsupport::MemoryLine line_;
    DriverWorkspace workspace_{};
};

TEST_P(ReadAckCases, JudgesTheAnswer) {
    const AckCase& c = GetParam();
    testsupport::LogCapture log;
    line_.Feed(c.answer);
    EXPECT_EQ(ReadAck(workspace_), c.result);
    EXPECT_EQ(log.Lines(), c.log);
    EXPECT_EQ(line_.Pending(), c.leftOver);
}

const LogLine kNoCrAck{8, "DAVEV:Illegal Ack message: no CR."};
const LogLine kNoCrNak{8, "DAVEV:Illegal Nak message: no CR."};
const LogLine kIllegal{8, "DAVEV:Illegal message received for ACK/NACK."};

INSTANTIATE_TEST_SUITE_P(Answers, ReadAckCases, ::testing::Values(
    AckCase{"Ack", "c00\r", 0, {}, 0},
    AckCase{"AckMiddleNotExamined", "c?x\r", 0, {}, 0},
    AckCase{"AckTakesFourCharacters", "c00\rc00\r", 0, {}, 4},
    AckCase{"AckWithoutCr", "c00x", 1, {kNoCrAck}, 0},
    AckCase{"AckCrTooEarly", "c0\r0", 1, {kNoCrAck}, 0},
    AckCase{"Nak", "d3xy\r", 1, {{32, "DAVEV:Nck message received. Errorcode=33 "}}, 0},
    AckCase{"NakCodeInLowerCaseHex", "d:00\r", 1, {{32, "DAVEV:Nck message received. Errorcode=3a "}}, 0},
    AckCase{"NakWithoutCr", "d1234", 1, {kNoCrNak}, 0},
    AckCase{"NakFifthMissing", "d300", 2, {}, 0},
    AckCase{"OtherFirstCharacter", "x00\r", 1, {kIllegal}, 0},
    AckCase{"NakCodeAsFirstCharacterUpperCase", "C00\r", 1, {kIllegal}, 0},
    AckCase{"OnlyThreeArrive", "c00", 2, {}, 0},
    AckCase{"NothingArrives", "", 2, {}, 0}),
    testsupport::CaseName<AckCase>);

TEST(ReadAckPort, ClosedPortGivesTwo) {
    testsupport::MemoryLine line;
    testsupport::LogCapture log;
    DriverWorkspace workspace{};  // no port open
    line.Feed("c00\r");
    EXPECT_EQ(ReadAck(workspace), 2);
    EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
}  // namespace qel::test
