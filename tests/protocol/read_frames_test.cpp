// The read requests, byte for byte.
#include "protocol/read_frames.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "frame_text.h"
#include "support/case_name.h"

namespace qel::test {
namespace {

enum class Builder { Select, Fa2Read, Element, Preset, DataBlock, BlockFa3 };

struct ReadCase {
    const char* name;
    Builder builder;
    std::uint32_t station;
    std::uint32_t area;
    std::uint32_t element;
    std::int32_t count;
    std::uint16_t byteCount;  // ReadBlockFa3 only
    std::string frame;        // empty: no frame
};

std::size_t Build(const ReadCase& c, std::span<std::uint8_t> out) {
    const auto area = static_cast<std::uint16_t>(c.area);
    const auto element = static_cast<std::uint16_t>(c.element);
    switch (c.builder) {
        case Builder::Select:
            return BuildSelectStation(out, c.station);
        case Builder::Fa2Read:
            return BuildFa2Read(out, area, element, static_cast<std::uint16_t>(c.count));
        case Builder::Element:
            return BuildReadElement(out, area, element);
        case Builder::Preset:
            return BuildReadPreset(out, area, element);
        case Builder::DataBlock:
            return BuildReadDataBlock(out, static_cast<std::uint16_t>(c.count), element);
        case Builder::BlockFa3:
            return BuildReadBlockFa3(out, c.byteCount, element, area);
    }
    return 0;
}

class ReadFrames : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadFrames, BuildsTheFrame) {
    const ReadCase& c = GetParam();
    FrameBuffer out;
    const std::size_t length = Build(c, out.Span());
    EXPECT_EQ(length, c.frame.size());
    EXPECT_EQ(out.Text(length), c.frame);
    EXPECT_TRUE(out.TailUntouched(length)) << "written past the frame";
}

TEST_P(ReadFrames, RefusesAShortBuffer) {
    const ReadCase& c = GetParam();
    const std::size_t shortLength = c.frame.empty() ? 0 : c.frame.size() - 1;
    FrameBuffer out;
    EXPECT_EQ(Build(c, out.Span().first(shortLength)), 0u);
    EXPECT_TRUE(out.TailUntouched(0));
}

const Builder SEL = Builder::Select;
const Builder FA2 = Builder::Fa2Read;
const Builder ELEM = Builder::Element;
const Builder PRE = Builder::Preset;
const Builder DRB = Builder::DataBlock;
const Builder FA3 = Builder::BlockFa3;

INSTANTIATE_TEST_SUITE_P(SelectStation, ReadFrames, ::testing::Values(
    ReadCase{"Station0", SEL, 0, 0, 0, 1, 0, "`0000\r"},
    ReadCase{"Station1", SEL, 1, 0, 0, 1, 0, "`0101\r"},
    ReadCase{"Station12", SEL, 12, 0, 0, 1, 0, "`0<0<\r"},
    ReadCase{"Station255", SEL, 255, 0, 0, 1, 0, "`??1>\r"},
    ReadCase{"Station256SendsLowByte", SEL, 256, 0, 0, 1, 0, "`0000\r"}),
    testsupport::CaseName<ReadCase>);

INSTANTIATE_TEST_SUITE_P(ReadElement, ReadFrames, ::testing::Values(
    ReadCase{"TM5", FA2, 1, AREA_TM, 5, 1, 0, "R40509\r"},
    ReadCase{"TM5Direct", ELEM, 1, AREA_TM, 5, 1, 0, "R40509\r"},
    ReadCase{"DR10", FA2, 1, AREA_DR, 10, 1, 0, "R70:11\r"},
    ReadCase{"DR300", FA2, 1, AREA_DR, 300, 1, 0, "R82<16\r"},
    ReadCase{"DR255", FA2, 1, AREA_DR, 255, 1, 0, "R7??25\r"},
    ReadCase{"DR256", FA2, 1, AREA_DR, 256, 1, 0, "R80008\r"},
    ReadCase{"CT46", FA2, 1, AREA_CT, 46, 1, 0, "R52>15\r"},
    ReadCase{"IO200", FA2, 1, AREA_IO, 200, 1, 0, "R1:813\r"},
    ReadCase{"IR320", FA2, 1, AREA_IR, 320, 1, 0, "R20002\r"},
    ReadCase{"IR1760", FA2, 1, AREA_IR, 1760, 1, 0, "R>8016\r"},
    ReadCase{"IR1920", FA2, 1, AREA_IR, 1920, 1, 0, "R?000?\r"},
    ReadCase{"SR5", FA2, 1, AREA_SR, 5, 1, 0, "R30508\r"},
    ReadCase{"IOBlockOf8", FA2, 1, AREA_IO, 0, 8, 0, "R10001\r"},
    ReadCase{"WOHasNoFrame", FA2, 1, AREA_WO, 5, 1, 0, ""},
    ReadCase{"ForceHasNoFrame", FA2, 1, AREA_FORCE, 0, 1, 0, ""},
    ReadCase{"UnknownAreaHasNoFrame", FA2, 1, 12, 0, 1, 0, ""},
    ReadCase{"CPBlockHasNoFrame", FA2, 1, AREA_CP, 5, 2, 0, ""},
    ReadCase{"CPHasNoElementSubcode", ELEM, 1, AREA_CP, 5, 1, 0, ""}),
    testsupport::CaseName<ReadCase>);

INSTANTIATE_TEST_SUITE_P(ReadPreset, ReadFrames, ::testing::Values(
    ReadCase{"TP7", FA2, 1, AREA_TP, 7, 1, 0, "Y0707\r"},
    ReadCase{"CP7", FA2, 1, AREA_CP, 7, 1, 0, "Z0707\r"},
    ReadCase{"TP7Direct", PRE, 1, AREA_TP, 7, 1, 0, "Y0707\r"},
    ReadCase{"DRHasNoPreset", PRE, 1, AREA_DR, 7, 1, 0, ""}),
    testsupport::CaseName<ReadCase>);

INSTANTIATE_TEST_SUITE_P(ReadDataBlock, ReadFrames, ::testing::Values(
    ReadCase{"DR10Count5", FA2, 1, AREA_DR, 10, 5, 0, "]182140:1:\r"},
    ReadCase{"DR10Count5Direct", DRB, 1, AREA_DR, 10, 5, 0, "]182140:1:\r"}),
    testsupport::CaseName<ReadCase>);

INSTANTIATE_TEST_SUITE_P(ReadBlockFa3, ReadFrames, ::testing::Values(
    ReadCase{"TM10Count3", FA3, 1, AREA_TM, 10, 3, 6, "]441000:000619\r"},
    ReadCase{"IO1600Count16", FA3, 1, AREA_IO, 1600, 16, 2, "]458008000021;\r"},
    ReadCase{"IO160SecondGroup", FA3, 1, AREA_IO, 160, 8, 1, "]45900000001" "13\r"},
    ReadCase{"IM3512", FA3, 1, AREA_IR, 3512, 8, 1, "]44=02000001" "18\r"},
    ReadCase{"WOIsRefused", FA3, 1, AREA_WO, 10, 5, 0, ""},
    ReadCase{"ForceIsRefused", FA3, 1, AREA_FORCE, 0, 1, 1, ""}),
    testsupport::CaseName<ReadCase>);

// The byte counts the FA3 rows above carry.
TEST(ReadBlockFa3, ByteCountsOfTheExamples) {
    EXPECT_EQ(DataByteCount(AREA_TM, 3), 6);
    EXPECT_EQ(DataByteCount(AREA_IO, 16), 2);
    EXPECT_EQ(DataByteCount(AREA_DR, 5) * 2, 20);  // BlockData after the DR block's Ack
}

}  // namespace
}  // namespace qel::test
