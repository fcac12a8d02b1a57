// The write requests and the data message, byte for byte.
#include "protocol/write_frames.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "frame_text.h"
#include "support/case_name.h"

namespace qel::test {
namespace {

enum class Builder { Fa2Write, Preset, DataRegister, Bit, BlockFa3, Data, ForceBit, ClearForce };

struct WriteCase {
    const char* name;
    Builder builder;
    std::uint32_t area;
    std::uint32_t element;
    std::int32_t dataType;
    std::uint16_t value;      // slot 1 of the host array
    std::uint16_t byteCount;  // WriteBlockFa3 only
    std::string frame;        // empty: no frame
};

std::size_t Build(const WriteCase& c, std::span<std::uint8_t> out) {
    const auto area = static_cast<std::uint16_t>(c.area);
    const auto element = static_cast<std::uint16_t>(c.element);
    switch (c.builder) {
        case Builder::Fa2Write:
            return BuildFa2Write(out, area, element, c.value);
        case Builder::Preset:
            return BuildWritePreset(out, area, element, c.value);
        case Builder::DataRegister:
            return BuildWriteDataRegister(out, element, c.value);
        case Builder::Bit:
            return BuildWriteBit(out, area, element, c.value);
        case Builder::BlockFa3:
            return BuildWriteBlockFa3(out, c.byteCount, element, area);
        case Builder::Data:
            return BuildWriteData(out, c.dataType, c.value);
        case Builder::ForceBit:
            return BuildForceBit(out, area, element, c.value);
        case Builder::ClearForce:
            return BuildClearForce(out);
    }
    return 0;
}

class WriteFrames : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteFrames, BuildsTheFrame) {
    const WriteCase& c = GetParam();
    FrameBuffer out;
    const std::size_t length = Build(c, out.Span());
    EXPECT_EQ(length, c.frame.size());
    EXPECT_EQ(out.Text(length), c.frame);
    EXPECT_TRUE(out.TailUntouched(length)) << "written past the frame";
}

TEST_P(WriteFrames, RefusesAShortBuffer) {
    const WriteCase& c = GetParam();
    const std::size_t shortLength = c.frame.empty() ? 0 : c.frame.size() - 1;
    FrameBuffer out;
    EXPECT_EQ(Build(c, out.Span().first(shortLength)), 0u);
    EXPECT_TRUE(out.TailUntouched(0));
}

const Builder FA2 = Builder::Fa2Write;
const Builder PRE = Builder::Preset;
const Builder REG = Builder::DataRegister;
const Builder BIT = Builder::Bit;
const Builder HDR = Builder::BlockFa3;
const Builder DATA = Builder::Data;
const Builder FORCE = Builder::ForceBit;
const Builder CLEAR = Builder::ClearForce;
constexpr std::int32_t W = DATA_TYPE_WORD;
constexpr std::int32_t B = DATA_TYPE_BIT;

INSTANTIATE_TEST_SUITE_P(WritePreset, WriteFrames, ::testing::Values(
    WriteCase{"CP5Value1234", FA2, AREA_CP, 5, W, 1234, 0, "T0504=218\r"},
    WriteCase{"TP3Value9999", FA2, AREA_TP, 3, W, 9999, 0, "S03270?1;\r"},
    WriteCase{"CP5Direct", PRE, AREA_CP, 5, W, 1234, 0, "T0504=218\r"},
    WriteCase{"DRHasNoPreset", PRE, AREA_DR, 5, W, 1234, 0, ""}),
    testsupport::CaseName<WriteCase>);

INSTANTIATE_TEST_SUITE_P(WriteDataRegister, WriteFrames, ::testing::Values(
    WriteCase{"DR7Value100", FA2, AREA_DR, 7, W, 100, 0, "\\270700641:\r"},
    WriteCase{"DR300Value1234", FA2, AREA_DR, 300, W, 0x1234, 0, "\\282<123422\r"},
    WriteCase{"WO7Value100", FA2, AREA_WO, 7, W, 100, 0, "\\270700641:\r"},
    WriteCase{"DR7Direct", REG, AREA_DR, 7, W, 100, 0, "\\270700641:\r"}),
    testsupport::CaseName<WriteCase>);

INSTANTIATE_TEST_SUITE_P(WriteBit, WriteFrames, ::testing::Values(
    WriteCase{"IO200Set", FA2, AREA_IO, 200, B, 1, 0, "[9:81;\r"},
    WriteCase{"IO200Reset", FA2, AREA_IO, 200, B, 0, 0, "[1:813\r"},
    WriteCase{"IO200ValueTwoResets", FA2, AREA_IO, 200, B, 2, 0, "[1:813\r"},
    WriteCase{"IO200ValueFFFFResets", FA2, AREA_IO, 200, B, 0xFFFF, 0, "[1:813\r"},
    WriteCase{"SR5Set", FA2, AREA_SR, 5, B, 1, 0, "[;0510\r"},
    WriteCase{"SR5Reset", FA2, AREA_SR, 5, B, 0, 0, "[30508\r"},
    WriteCase{"IR1920Set", FA2, AREA_IR, 1920, B, 1, 0, "[=000=\r"},
    WriteCase{"IR320Set", FA2, AREA_IR, 320, B, 1, 0, "[:000:\r"},
    WriteCase{"IR1760Reset", FA2, AREA_IR, 1760, B, 0, 0, "[4800<\r"},
    WriteCase{"IO200Direct", BIT, AREA_IO, 200, B, 1, 0, "[9:81;\r"},
    WriteCase{"DRHasNoBitFrame", BIT, AREA_DR, 5, B, 1, 0, ""},
    WriteCase{"TMIsReadOnly", FA2, AREA_TM, 5, W, 1, 0, ""},
    WriteCase{"CTIsReadOnly", FA2, AREA_CT, 5, W, 1, 0, ""},
    WriteCase{"ForceHasNoFa2Frame", FA2, AREA_FORCE, 0, B, 1, 0, ""}),
    testsupport::CaseName<WriteCase>);

INSTANTIATE_TEST_SUITE_P(WriteBlockFa3, WriteFrames, ::testing::Values(
    WriteCase{"DR10", HDR, AREA_DR, 10, W, 0, 2, "\\444000:000218\r"},
    WriteCase{"IO1600", HDR, AREA_IO, 1600, B, 0, 1, "\\558008000011;\r"},
    WriteCase{"IM3512", HDR, AREA_IR, 3512, B, 0, 1, "\\54=0200000119\r"},
    WriteCase{"CP5", HDR, AREA_CP, 5, W, 0, 2, "\\44300050002" "12\r"},
    WriteCase{"SR9", HDR, AREA_SR, 9, B, 0, 1, "\\55200090001" "16\r"},
    WriteCase{"TMHasNoHeader", HDR, AREA_TM, 10, W, 0, 2, ""},
    WriteCase{"CTHasNoHeader", HDR, AREA_CT, 10, W, 0, 2, ""},
    WriteCase{"WOHasNoHeader", HDR, AREA_WO, 10, W, 0, 0, ""},
    WriteCase{"ForceHasNoHeader", HDR, AREA_FORCE, 0, B, 0, 1, ""}),
    testsupport::CaseName<WriteCase>);

INSTANTIATE_TEST_SUITE_P(WriteData, WriteFrames, ::testing::Values(
    WriteCase{"Word1234", DATA, AREA_DR, 10, W, 0x1234, 0, "341246"},
    WriteCase{"Word100", DATA, AREA_DR, 10, W, 100, 0, "640064"},
    WriteCase{"BitFive", DATA, AREA_IO, 1600, B, 5, 0, "0101"},
    WriteCase{"BitOne", DATA, AREA_IO, 1600, B, 1, 0, "0101"},
    WriteCase{"BitZero", DATA, AREA_IO, 1600, B, 0, 0, "0000"}),
    testsupport::CaseName<WriteCase>);

INSTANTIATE_TEST_SUITE_P(ForceBit, WriteFrames, ::testing::Values(
    WriteCase{"IO1600Set", FORCE, AREA_IO, 1600, B, 1, 0, "\\658008011<\r"},
    WriteCase{"IR320Clear", FORCE, AREA_IR, 320, B, 0, 0, "\\64=0000017\r"},
    WriteCase{"IO160SecondGroup", FORCE, AREA_IO, 160, B, 1, 0, "\\6590000115\r"},
    WriteCase{"IM3512ValueFiveSets", FORCE, AREA_IR, 3512, B, 5, 0, "\\64=020011:\r"}),
    testsupport::CaseName<WriteCase>);

INSTANTIATE_TEST_SUITE_P(ClearForce, WriteFrames, ::testing::Values(
    WriteCase{"Frame", CLEAR, AREA_FORCE, 0, B, 0, 0, "\\8008\r"}),
    testsupport::CaseName<WriteCase>);

TEST(WriteDataDirect, TakesTypeAndValue) {
    FrameBuffer out;
    ASSERT_EQ(BuildWriteData(out.Span(), DATA_TYPE_WORD, 0x1234), 6u);
    EXPECT_EQ(out.Text(6), "341246");
    EXPECT_TRUE(out.TailUntouched(6));
}

struct AnswerCase {
    const char* name;
    std::string answer;
    bool accepted;
};

class ClearForceAnswer : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(ClearForceAnswer, LooksAtTheAckOnly) {
    const std::vector<std::uint8_t> answer = Bytes(GetParam().answer);
    EXPECT_EQ(ClearForceAnswerAccepted(answer), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(Answers, ClearForceAnswer, ::testing::Values(
    AnswerCase{"EchoThenAck", "\\8008\rc00\r", true},
    AnswerCase{"EchoNotCompared", "xxxxxxc12\r", true},
    AnswerCase{"Nak", "\\8008\rd30\r", false},
    AnswerCase{"NoCr", "\\8008\rc00x", false},
    AnswerCase{"Short", "\\8008\rc00", false}),
    testsupport::CaseName<AnswerCase>);

}  // namespace
}  // namespace qel::test
