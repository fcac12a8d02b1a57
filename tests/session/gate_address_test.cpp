// Gate address texts: parsed, written back, and the element that follows.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "session/driver/qel_session.h"
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

// The data type a host guesses from the text: bits for IO, IR, IM, SR and
// FORCE in any case, a word for every other area and for text that is no
// gate address (the driver's check says what is wrong with it).
TEST(GateAddress, TheGuessedDataTypeFollowsTheParsedArea) {
    const struct {
        const char* gas;
        int type;
    } rows[] = {
        {"001IO0005", DATA_TYPE_BIT},   {"001io0005", DATA_TYPE_BIT}, {"002IM0010", DATA_TYPE_BIT},
        {"002SR0001", DATA_TYPE_BIT},   {"003FORCE", DATA_TYPE_BIT},  {"003force", DATA_TYPE_BIT},
        {"001DR0010", DATA_TYPE_WORD},  {"001WO0001", DATA_TYPE_WORD}, {"001TP0003", DATA_TYPE_WORD},
        {"1IO0005", DATA_TYPE_WORD},    {"001IO00051", DATA_TYPE_WORD}, {"001FOOBAR", DATA_TYPE_WORD},
        {"", DATA_TYPE_WORD},
    };
    for (const auto& row : rows) EXPECT_EQ(qel::session::GuessDataType(row.gas), row.type) << row.gas;
}

TEST(GateAddress, FormatWritesTheStationAsStationTextDoes) {
    EXPECT_EQ((GateAddress{42, "DR", 7}.Format()), qel::session::StationText(42) + "DR0007");
    EXPECT_EQ((GateAddress{5, "FORCE", 0}.Format()), "005FORCE");
    EXPECT_EQ(GateAddress::Parse("012io157")->Format(), "012IO0157");
}

}  // namespace
