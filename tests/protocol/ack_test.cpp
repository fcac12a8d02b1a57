// The judgement of an answer's characters, apart from the line.
#include "protocol/ack.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "support/case_name.h"

namespace qel::test {
namespace {

struct StartCase {
    const char* name;
    std::array<std::uint8_t, ACK_LENGTH> answer;
    AckStart start;
};

class AckStartCases : public ::testing::TestWithParam<StartCase> {};

TEST_P(AckStartCases, JudgesTheFirstFourCharacters) {
    const StartCase& c = GetParam();
    EXPECT_EQ(JudgeAckStart(c.answer), c.start);
}

INSTANTIATE_TEST_SUITE_P(Answers, AckStartCases, ::testing::Values(
    StartCase{"Ack", {'c', '0', '0', CR}, AckStart::Ack},
    StartCase{"AckOthersNotExamined", {'c', '?', 'x', CR}, AckStart::Ack},
    StartCase{"AckWithoutCr", {'c', '0', '0', '0'}, AckStart::AckWithoutCr},
    StartCase{"Nak", {'d', '5', '0', '0'}, AckStart::Nak},
    StartCase{"NakWithCrEarly", {'d', '5', '0', CR}, AckStart::Nak},
    StartCase{"UpperCaseC", {'C', '0', '0', CR}, AckStart::Illegal},
    StartCase{"Nothing", {0, 0, 0, 0}, AckStart::Illegal}), testsupport::CaseName<StartCase>);

TEST(NakEnd, OnlyCrCompletesANakAndItsSecondCharacterIsTheCode) {
    EXPECT_TRUE(NakComplete(CR));
    EXPECT_FALSE(NakComplete('0'));
    EXPECT_FALSE(NakComplete(0x0A));
    constexpr std::array<std::uint8_t, ACK_LENGTH> nak{'d', '7', '0', '0'};
    static_assert(NakErrorCode(nak) == '7');
}

}  // namespace
}  // namespace qel::test
