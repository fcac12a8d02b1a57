// Gate address texts: parsed, written back, and the element that follows.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "session/gates/gate_address.h"
#include "support/case_name.h"

namespace {

using qel::session::GateAddress;

struct ParseCase {
    const char* name;
    const char* text;
    std::optional<GateAddress> parsed;
    const char* formatted;  // Format() of the parsed address
};

const ParseCase kParses[] = {
    {"Register", "001DR0010", GateAddress{1, "DR", 10}, "001DR0010"},
    {"FewerDigitsAreTheSameNumber", "012IO157", GateAddress{12, "IO", 157}, "012IO0157"},
    {"LowerCaseIsUpperCased", "002im0640", GateAddress{2, "IM", 640}, "002IM0640"},
    {"NoDigitsIsElementZero", "005SR", GateAddress{5, "SR", 0}, "005SR0000"},
    {"ForceGate", "005FORCE", GateAddress{5, "FORCE", 0}, "005FORCE"},
    {"ForceInAnyCase", "005Force", GateAddress{5, "FORCE", 0}, "005FORCE"},
    {"StationAbove255IsStillTheForm", "300DR0001", GateAddress{300, "DR", 1}, "300DR0001"},
    {"AnyTwoLettersAreTheForm", "001XY0001", GateAddress{1, "XY", 1}, "001XY0001"},
    {"TwoStationDigits", "01DR0010", std::nullopt, ""},
    {"LetterInTheStation", "0A1DR0010", std::nullopt, ""},
    {"NoArea", "001", std::nullopt, ""},
    {"OneLetter", "001D", std::nullopt, ""},
    {"DigitForALetter", "0010R0010", std::nullopt, ""},
    {"FiveDigits", "001DR00100", std::nullopt, ""},
    {"LetterAmongTheDigits", "001DR00A0", std::nullopt, ""},
    {"SpaceAfter", "001DR0010 ", std::nullopt, ""},
    {"ForceWithMore", "005FORCE1", std::nullopt, ""},
    {"Empty", "", std::nullopt, ""},
};

class GateAddressParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(GateAddressParse, ParsesAndFormats) {
    const ParseCase& c = GetParam();
    const auto parsed = GateAddress::Parse(c.text);
    ASSERT_EQ(parsed.has_value(), c.parsed.has_value());
    if (!parsed) return;
    EXPECT_EQ(*parsed, *c.parsed);
    EXPECT_EQ(parsed->Format(), c.formatted);
    // What Format writes parses back to the same address.
    EXPECT_EQ(GateAddress::Parse(parsed->Format()), parsed);
}

INSTANTIATE_TEST_SUITE_P(Texts, GateAddressParse, ::testing::ValuesIn(kParses), testsupport::CaseName<ParseCase>);

struct NextCase {
    const char* name;
    const char* from;
    const char* next;
    bool bits;
};

const NextCase kNexts[] = {
    {"WordsCountOn", "001DR0009", "001DR0010", false},
    {"WordsPassANineInTheLastDigit", "001CT0047", "001CT0048", false},
    {"BitsWithinAByte", "001IO0156", "001IO0157", true},
    {"BitsSkipEightAndNine", "001IO0157", "001IO0160", true},
    {"InternalRelaysSkipToo", "002IM0647", "002IM0650", true},
    {"SpecialRelaysAreBits", "002SR0007", "002SR0010", true},
};

class GateAddressNext : public ::testing::TestWithParam<NextCase> {};

TEST_P(GateAddressNext, IsTheFollowingElement) {
    const auto from = GateAddress::Parse(GetParam().from);
    ASSERT_TRUE(from);
    EXPECT_EQ(from->Bits(), GetParam().bits);
    EXPECT_EQ(from->Next().Format(), GetParam().next);
}

INSTANTIATE_TEST_SUITE_P(Elements, GateAddressNext, ::testing::ValuesIn(kNexts), testsupport::CaseName<NextCase>);

TEST(GateAddress, ForceIsABitAndStationsHaveThreeDigits) {
    EXPECT_TRUE(GateAddress::Parse("005FORCE")->Bits());
    EXPECT_TRUE(GateAddress::Parse("005FORCE")->IsForce());
    EXPECT_EQ(qel::session::StationText(7), "007");
    EXPECT_EQ(qel::session::StationText(255), "255");
}

}  // namespace
