// Which injected faults the soak counts as detectable by the driver.
#include <gtest/gtest.h>

#include <vector>

#include "fault_plan.h"
#include "support/case_name.h"

namespace {

using fasim::FaultEvent;
using K = FaultEvent::Kind;
using soak::Judgement;

// The answer to an FA-3 read of two words: Ack, BlockData, checksum, CR.
const std::string kBlock = "c00\r34120100" "09\r";
const std::string kElement = "p12340:\r";

FaultEvent On(const std::string& frame, K kind, std::size_t offset, char to = 0, bool echo = false) {
    return FaultEvent{kind, echo, 2, frame, offset, frame.empty() ? '\0' : frame[offset], to};
}

struct JudgeCase {
    const char* name;
    std::vector<FaultEvent> events;
    Judgement expected;
};

class Judge : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(Judge, Faults) { EXPECT_EQ(soak::Judge(GetParam().events), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Soak, Judge, ::testing::Values(
    JudgeCase{"NoFault", {}, Judgement::Clean},
    JudgeCase{"EchoCorrupted", {On("R40509\r", K::Corrupt, 2, '1', true)}, Judgement::Detectable},
    JudgeCase{"NulInBlockData", {On(kBlock, K::Corrupt, 6, '\0')}, Judgement::Detectable},
    JudgeCase{"LetterInBlockData", {On(kBlock, K::Corrupt, 6, 'q')}, Judgement::Detectable},
    JudgeCase{"DigitForDigitInBlockData", {On(kBlock, K::Corrupt, 6, '7')}, Judgement::Undetectable},
    JudgeCase{"DropInBlockData", {On(kBlock, K::Drop, 11)}, Judgement::Undetectable},
    JudgeCase{"DropInAck", {On(kBlock, K::Drop, 1)}, Judgement::Detectable},
    JudgeCase{"DropBehindData", {On(kBlock, K::Drop, 12)}, Judgement::Detectable},
    JudgeCase{"DigitInsertedAfterAck", {On(kBlock, K::Insert, 3, '5')}, Judgement::Undetectable},
    JudgeCase{"LetterInsertedInData", {On(kBlock, K::Insert, 5, 'x')}, Judgement::Detectable},
    JudgeCase{"DigitInsertedBehindData", {On(kBlock, K::Insert, 11, '5')}, Judgement::Detectable},
    JudgeCase{"OneFaultInElementReply", {On(kElement, K::Corrupt, 2, '3')}, Judgement::Detectable},
    JudgeCase{"TwoFaultsInElementReply", {On(kElement, K::Corrupt, 2, '3'), On(kElement, K::Corrupt, 5, '1')},
              Judgement::Undetectable},
    JudgeCase{"NakAndLate", {On("", K::Nak, 0), On(kBlock, K::Late, 0)}, Judgement::Detectable}),
    testsupport::CaseName<JudgeCase>);

}  // namespace
