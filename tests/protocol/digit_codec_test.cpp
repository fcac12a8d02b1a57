// The digit codec, the checksums, the byte count and the bit address
// translation.
#include "protocol/digit_codec.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "frame_text.h"
#include "support/case_name.h"
#include "support/log_capture.h"

namespace qel::test {
namespace {

// ---- ValToAsciiHex ----

struct EncodeCase {
    const char* name;
    std::uint16_t value;
    std::uint16_t width;
    bool lowByteFirst;
    const char* text;
};

class Encode : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(Encode, WritesTheFieldAndNothingElse) {
    const EncodeCase& c = GetParam();
    FrameBuffer out;
    testsupport::LogCapture log;
    ValToAsciiHex(c.value, c.width, out.Span(), c.lowByteFirst);
    EXPECT_EQ(out.Text(c.width), c.text);
    EXPECT_TRUE(out.TailUntouched(c.width));
    EXPECT_TRUE(log.Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(Fields, Encode, ::testing::Values(
    EncodeCase{"Byte01F3", 0x01F3, 2, HIGH_BYTE_FIRST, "?3"},
    EncodeCase{"Byte01F3FlagIgnored", 0x01F3, 2, LOW_BYTE_FIRST, "?3"},
    EncodeCase{"Byte00", 0x0000, 2, HIGH_BYTE_FIRST, "00"},
    EncodeCase{"ByteFF", 0xFFFF, 2, HIGH_BYTE_FIRST, "??"},
    EncodeCase{"WordABCDHighFirst", 0xABCD, 4, HIGH_BYTE_FIRST, ":;<="},
    EncodeCase{"WordABCDLowFirst", 0xABCD, 4, LOW_BYTE_FIRST, "<=:;"},
    EncodeCase{"Word1234HighFirst", 0x1234, 4, HIGH_BYTE_FIRST, "1234"},
    EncodeCase{"Word1234LowFirst", 0x1234, 4, LOW_BYTE_FIRST, "3412"},
    EncodeCase{"Word0000", 0x0000, 4, LOW_BYTE_FIRST, "0000"}),
    testsupport::CaseName<EncodeCase>);

class EncodeBadWidth : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(EncodeBadWidth, LogsAndWritesNothing) {
    FrameBuffer out;
    testsupport::LogCapture log;
    ValToAsciiHex(0x1234, GetParam(), out.Span(), HIGH_BYTE_FIRST);
    EXPECT_TRUE(out.TailUntouched(0));
    const std::vector<testsupport::LogLine> expected = {{8, "DAVEV: ValToAsciiHex failed"}};
    EXPECT_EQ(log.Lines(), expected);
}

INSTANTIATE_TEST_SUITE_P(Widths, EncodeBadWidth, ::testing::Values(0, 1, 3, 5, 8, 0xFFFF));

TEST(EncodeShortBuffer, LogsAndWritesNothing) {
    std::array<std::uint8_t, 4> out = {UNWRITTEN, UNWRITTEN, UNWRITTEN, UNWRITTEN};
    testsupport::LogCapture log;
    ValToAsciiHex(0x1234, 4, std::span(out).first(3), HIGH_BYTE_FIRST);
    EXPECT_EQ(out, (std::array<std::uint8_t, 4>{UNWRITTEN, UNWRITTEN, UNWRITTEN, UNWRITTEN}));
    EXPECT_EQ(log.Count("DAVEV: ValToAsciiHex failed"), 1u);
}

// ---- AsciiHexToVal ----

struct DecodeCase {
    const char* name;
    const char* text;
    std::uint16_t width;
    bool lowByteFirst;
    std::uint16_t value;
};

class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, GivesTheValue) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(AsciiHexToVal(Bytes(c.text), c.width, c.lowByteFirst), c.value);
}

INSTANTIATE_TEST_SUITE_P(Fields, Decode, ::testing::Values(
    DecodeCase{"WordLowFirst", "<=:;", 4, LOW_BYTE_FIRST, 0xABCD},
    DecodeCase{"WordHighFirst", ":;<=", 4, HIGH_BYTE_FIRST, 0xABCD},
    DecodeCase{"Byte", "?3", 2, HIGH_BYTE_FIRST, 0xF3},
    DecodeCase{"ByteFlagIgnored", "?3", 2, LOW_BYTE_FIRST, 0xF3},
    DecodeCase{"ZeroHighFirst", "0000", 4, HIGH_BYTE_FIRST, 0},
    DecodeCase{"ZeroLowFirst", "0000", 4, LOW_BYTE_FIRST, 0},
    // Characters are not validated: 'A' is 0x41, worth 17 in a digit place.
    DecodeCase{"LetterContributesItsDifference", "A0", 2, HIGH_BYTE_FIRST, 17 * 16},
    // CR is 0x0D, 35 below '0': 0 - 35 x 16 modulo 65536.
    DecodeCase{"CharacterBelowZeroWraps", "\r0", 2, HIGH_BYTE_FIRST, 65536 - 35 * 16},
    DecodeCase{"WordWithLetterWraps", "@000", 4, HIGH_BYTE_FIRST, 0x0000},
    DecodeCase{"WidthThreeUnsupported", "123", 3, HIGH_BYTE_FIRST, 0},
    DecodeCase{"ShortInput", "12", 4, HIGH_BYTE_FIRST, 0}),
    testsupport::CaseName<DecodeCase>);

TEST(RoundTrip, EveryWordHighByteFirst) {
    std::array<std::uint8_t, 4> text{};
    for (std::uint32_t v = 0; v <= 0xFFFF; ++v) {
        const auto value = static_cast<std::uint16_t>(v);
        ValToAsciiHex(value, 4, text, HIGH_BYTE_FIRST);
        for (const std::uint8_t c : text) ASSERT_TRUE(c >= '0' && c <= '?') << v;
        ASSERT_EQ(AsciiHexToVal(text, 4, HIGH_BYTE_FIRST), value);
    }
}

TEST(RoundTrip, EveryWordLowByteFirst) {
    std::array<std::uint8_t, 4> text{};
    for (std::uint32_t v = 0; v <= 0xFFFF; ++v) {
        const auto value = static_cast<std::uint16_t>(v);
        ValToAsciiHex(value, 4, text, LOW_BYTE_FIRST);
        ASSERT_EQ(AsciiHexToVal(text, 4, LOW_BYTE_FIRST), value);
        // The two orders are the same two byte fields, swapped.
        std::array<std::uint8_t, 4> high{};
        ValToAsciiHex(value, 4, high, HIGH_BYTE_FIRST);
        ASSERT_EQ(text[0], high[2]);
        ASSERT_EQ(text[1], high[3]);
        ASSERT_EQ(text[2], high[0]);
        ASSERT_EQ(text[3], high[1]);
    }
}

TEST(RoundTrip, EveryByte) {
    std::array<std::uint8_t, 2> text{};
    for (std::uint32_t v = 0; v <= 0xFF; ++v) {
        ValToAsciiHex(static_cast<std::uint16_t>(v | 0xA500), 2, text, HIGH_BYTE_FIRST);
        ASSERT_EQ(text[0], 0x30 + (v >> 4));
        ASSERT_EQ(text[1], 0x30 + (v & 0x0F));
        ASSERT_EQ(AsciiHexToVal(text, 2, HIGH_BYTE_FIRST), v);
    }
}

// ---- CheckSum, ValueCheckSum ----

struct SumCase {
    const char* name;
    std::string text;
    std::uint8_t sum;
    const char* field;
};

class Sum : public ::testing::TestWithParam<SumCase> {};

TEST_P(Sum, AddsTheDigitValues) {
    const SumCase& c = GetParam();
    const std::uint8_t sum = CheckSum(Bytes(c.text));
    EXPECT_EQ(sum, c.sum);
    FrameBuffer out;
    ValToAsciiHex(sum, 2, out.Span(), HIGH_BYTE_FIRST);
    EXPECT_EQ(out.Text(2), c.field);
}

INSTANTIATE_TEST_SUITE_P(Sums, Sum, ::testing::Values(
    SumCase{"Empty", "", 0, "00"},
    SumCase{"FourFifteens", "????", 0x3C, "3<"},
    // Eighteen times 15 is 270, which wraps to 14.
    SumCase{"WrapsAt256", std::string(18, '?'), 14, "0>"},
    SumCase{"Digits", "1234", 10, "0:"},
    // '/' is one below '0' and counts as 255.
    SumCase{"BelowZeroWraps", "1/", 0, "00"}),
    testsupport::CaseName<SumCase>);

struct ValueSumCase {
    const char* name;
    std::uint16_t value;
    const char* field;
};

class ValueSum : public ::testing::TestWithParam<ValueSumCase> {};

TEST_P(ValueSum, AddsTheTwoBytes) {
    const ValueSumCase& c = GetParam();
    FrameBuffer out;
    ValueCheckSum(c.value, out.Span());
    EXPECT_EQ(out.Text(2), c.field);
    EXPECT_TRUE(out.TailUntouched(2));
}

INSTANTIATE_TEST_SUITE_P(Values, ValueSum, ::testing::Values(
    ValueSumCase{"x1234", 0x1234, "46"},
    ValueSumCase{"x0064", 100, "64"},
    ValueSumCase{"xFFFF", 0xFFFF, "?>"},
    ValueSumCase{"x0000", 0, "00"}),
    testsupport::CaseName<ValueSumCase>);

// ---- DataByteCount ----

struct ByteCountCase {
    const char* name;
    std::uint16_t area;
    std::uint16_t count;
    std::uint16_t bytes;
};

class ByteCount : public ::testing::TestWithParam<ByteCountCase> {};

TEST_P(ByteCount, CountsDataBytes) {
    const ByteCountCase& c = GetParam();
    EXPECT_EQ(DataByteCount(c.area, c.count), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Areas, ByteCount, ::testing::Values(
    ByteCountCase{"TM1", AREA_TM, 1, 2},
    ByteCountCase{"DR100", AREA_DR, 100, 200},
    ByteCountCase{"CT3", AREA_CT, 3, 6},
    ByteCountCase{"TP3", AREA_TP, 3, 6},
    ByteCountCase{"IO1", AREA_IO, 1, 1},
    ByteCountCase{"IO8", AREA_IO, 8, 1},
    ByteCountCase{"IR16", AREA_IR, 16, 2},
    ByteCountCase{"SR12", AREA_SR, 12, 1},
    ByteCountCase{"IO0", AREA_IO, 0, 0},
    ByteCountCase{"WO5", AREA_WO, 5, 0},
    ByteCountCase{"FORCE1", AREA_FORCE, 1, 0}),
    testsupport::CaseName<ByteCountCase>);

// ---- ElementToAddress ----

struct AddressCase {
    const char* name;
    std::uint16_t element;
    std::uint16_t fa2;
    std::uint16_t fa3;
};

class Address : public ::testing::TestWithParam<AddressCase> {};

TEST_P(Address, TranslatesBothModels) {
    const AddressCase& c = GetParam();
    EXPECT_EQ(ElementToAddress(c.element, NUMBERING_FA2), c.fa2);
    EXPECT_EQ(ElementToAddress(c.element, NUMBERING_FA3), c.fa3);
    // Every selector but 20 takes the FA2 column.
    EXPECT_EQ(ElementToAddress(c.element, 0), c.fa2);
    EXPECT_EQ(ElementToAddress(c.element, 21), c.fa2);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, Address, ::testing::Values(
    AddressCase{"e0", 0, 0, 0},
    AddressCase{"e127", 127, 127, 127},
    AddressCase{"e128", 128, 96, 65504},      // 128 - 32; 128 - 160 truncated
    AddressCase{"e160", 160, 128, 0},
    AddressCase{"e287", 287, 255, 127},
    AddressCase{"e288", 288, 65504, 65504},   // 288 - 320 truncated
    AddressCase{"e320", 320, 0, 0},
    AddressCase{"e559", 559, 239, 239},
    AddressCase{"e560", 560, 64496, 64624},   // 560 - 1600; 560 - 1472
    AddressCase{"e1600", 1600, 0, 128},
    AddressCase{"e1727", 1727, 127, 255},
    AddressCase{"e1728", 1728, 96, 96},
    AddressCase{"e1760", 1760, 128, 128},
    AddressCase{"e1887", 1887, 255, 255},
    AddressCase{"e1888", 1888, 65504, 224},   // 1888 - 1920; 1888 - 1664
    AddressCase{"e1920", 1920, 0, 256},
    AddressCase{"e2159", 2159, 239, 495},
    AddressCase{"e2160", 2160, 64696, 64696}, // 2160 - 3000 truncated
    AddressCase{"e3512", 3512, 512, 512},
    AddressCase{"e4055", 4055, 1055, 1055}),
    testsupport::CaseName<AddressCase>);

// ---- IoGroup ----

struct GroupCase {
    const char* name;
    std::uint16_t element;
    std::uint16_t group;
};

class Group : public ::testing::TestWithParam<GroupCase> {};

TEST_P(Group, PicksTheIoGroup) {
    EXPECT_EQ(IoGroup(GetParam().element), GetParam().group);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, Group, ::testing::Values(
    GroupCase{"e0", 0, 1000},
    GroupCase{"e127", 127, 1000},
    GroupCase{"e128", 128, 1000},
    GroupCase{"e129", 129, 2000},
    GroupCase{"e160", 160, 2000},
    GroupCase{"e287", 287, 2000},
    GroupCase{"e1599", 1599, 2000},
    GroupCase{"e1600", 1600, 1000},
    GroupCase{"e1727", 1727, 1000},
    GroupCase{"e1728", 1728, 1000},
    GroupCase{"e1729", 1729, 2000},
    GroupCase{"e1760", 1760, 2000},
    GroupCase{"e1887", 1887, 2000}),
    testsupport::CaseName<GroupCase>);

// ---- ReverseBits ----

TEST(ReverseBits, Examples) {
    EXPECT_EQ(ReverseBits(0x0B), 0xD0);
    EXPECT_EQ(ReverseBits(0x01), 0x80);
    EXPECT_EQ(ReverseBits(0xA0), 0x05);
    EXPECT_EQ(ReverseBits(0x00), 0x00);
    EXPECT_EQ(ReverseBits(0xFF), 0xFF);
}

TEST(ReverseBits, EveryByteMirrorsItsBits) {
    for (unsigned v = 0; v < 256; ++v) {
        const auto byte = static_cast<std::uint8_t>(v);
        const std::uint8_t reversed = ReverseBits(byte);
        for (unsigned bit = 0; bit < 8; ++bit) {
            ASSERT_EQ((reversed >> (7 - bit)) & 1U, (v >> bit) & 1U) << v;
        }
        ASSERT_EQ(ReverseBits(reversed), byte);
    }
}

}  // namespace
}  // namespace qel::test
