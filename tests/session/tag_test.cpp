// Tags: the words of each type to engineering values and back, with word
// order, scaling, rounding and the refusals; and the gate list's tag fields
// with the errors of bad entries.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "session/gates/gate_list.h"
#include "session/gates/tag.h"
#include "session/gates/tag_convert.h"
#include "support/case_name.h"

namespace {

using qel::session::TagSpec;
using qel::session::TagType;
using qel::session::WordOrder;

TagSpec Spec(TagType type, double scale = 1, double offset = 0, WordOrder order = WordOrder::HiLo,
             const char* unit = "") {
    TagSpec spec;
    spec.type = type;
    spec.typed = true;
    spec.scale = scale;
    spec.offset = offset;
    spec.order = order;
    spec.unit = unit;
    return spec;
}

struct DecodeCase {
    const char* name;
    TagSpec spec;
    std::vector<std::uint16_t> words;
    std::vector<double> values;  // empty: refused
    const char* refusal;         // part of the reason when refused
};

const DecodeCase kDecodes[] = {
    {"BoolOne", Spec(TagType::Bool), {1}, {1}, ""},
    {"BoolZero", Spec(TagType::Bool), {0}, {0}, ""},
    {"Uint16Top", Spec(TagType::UInt16), {0xFFFF}, {65535}, ""},
    {"Int16Negative", Spec(TagType::Int16), {0xFFFF}, {-1}, ""},
    {"Int16Lowest", Spec(TagType::Int16), {0x8000}, {-32768}, ""},
    {"Int16Highest", Spec(TagType::Int16), {0x7FFF}, {32767}, ""},
    {"Int16TimesTenth", Spec(TagType::Int16, 0.1), {235}, {23.5}, ""},
    {"Int16NegativeScaled", Spec(TagType::Int16, 0.1), {0xFF15}, {-23.5}, ""},
    {"Uint16WithOffset", Spec(TagType::UInt16, 0.5, -40), {100}, {10}, ""},
    {"Int32HiLo", Spec(TagType::Int32), {0x0001, 0x0000}, {65536}, ""},
    {"Int32LoHi", Spec(TagType::Int32, 1, 0, WordOrder::LoHi), {0x0000, 0x0001}, {65536}, ""},
    {"Int32Negative", Spec(TagType::Int32), {0xFFFF, 0xFFFE}, {-2}, ""},
    {"Int32Lowest", Spec(TagType::Int32), {0x8000, 0x0000}, {-2147483648.0}, ""},
    {"Uint32Top", Spec(TagType::UInt32), {0xFFFF, 0xFFFF}, {4294967295.0}, ""},
    {"Uint32LoHi", Spec(TagType::UInt32, 1, 0, WordOrder::LoHi), {0xFFFF, 0x0000}, {65535}, ""},
    {"Float32One", Spec(TagType::Float32), {0x3F80, 0x0000}, {1.0}, ""},
    {"Float32LoHi", Spec(TagType::Float32, 1, 0, WordOrder::LoHi), {0x0000, 0xC120}, {-10.0}, ""},
    {"Float32Scaled", Spec(TagType::Float32, 2, 1), {0x4000, 0x0000}, {5.0}, ""},
    {"Float32NaNRefused", Spec(TagType::Float32), {0x7FC0, 0x0000}, {}, "no finite float32"},
    {"Float32InfinityRefused", Spec(TagType::Float32), {0x7F80, 0x0000}, {}, "no finite float32"},
    {"Bcd16", Spec(TagType::Bcd16), {0x1234}, {1234}, ""},
    {"Bcd16Top", Spec(TagType::Bcd16), {0x9999}, {9999}, ""},
    {"Bcd16NotBcd", Spec(TagType::Bcd16), {0x12A4}, {}, "0x12A4 is no BCD"},
    {"Bcd32HiLo", Spec(TagType::Bcd32), {0x1234, 0x5678}, {12345678}, ""},
    {"Bcd32LoHi", Spec(TagType::Bcd32, 1, 0, WordOrder::LoHi), {0x5678, 0x1234}, {12345678}, ""},
    {"Bcd32NotBcd", Spec(TagType::Bcd32), {0x0000, 0x00F0}, {}, "no BCD"},
    {"ArrayOfInt32", Spec(TagType::Int32), {0, 1, 0, 2, 0xFFFF, 0xFFFF}, {1, 2, -1}, ""},
    {"OddWordsFor32Bits", Spec(TagType::UInt32), {1, 2, 3}, {}, "odd number of words"},
};

class TagDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(TagDecode, WordsToValues) {
    const DecodeCase& c = GetParam();
    std::vector<double> values;
    std::string error;
    const bool ok = qel::session::DecodeTag(c.spec, c.words, values, error);
    ASSERT_EQ(ok, !c.values.empty()) << error;
    if (!ok) {
        EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
        return;
    }
    ASSERT_EQ(values.size(), c.values.size());
    for (std::size_t i = 0; i < values.size(); ++i) EXPECT_DOUBLE_EQ(values[i], c.values[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Types, TagDecode, ::testing::ValuesIn(kDecodes), testsupport::CaseName<DecodeCase>);

struct EncodeCase {
    const char* name;
    TagSpec spec;
    double value;
    std::vector<std::uint16_t> words;  // empty: refused
    const char* refusal;
};

const EncodeCase kEncodes[] = {
    {"BoolOne", Spec(TagType::Bool), 1, {1}, ""},
    {"BoolTwoRefused", Spec(TagType::Bool), 2, {}, "a bool takes 0 or 1"},
    {"Int16Negative", Spec(TagType::Int16), -1, {0xFFFF}, ""},
    {"Int16RoundsToNearest", Spec(TagType::Int16, 0.1), 23.54, {235}, ""},
    {"Int16HalfAwayFromZero", Spec(TagType::Int16), 2.5, {3}, ""},
    {"Int16NegativeHalfAwayFromZero", Spec(TagType::Int16), -2.5, {0xFFFD}, ""},
    {"Int16TenthAtTop", Spec(TagType::Int16, 0.1), 3276.7, {0x7FFF}, ""},
    {"Int16TenthPastTop", Spec(TagType::Int16, 0.1, 0, WordOrder::HiLo, "degC"), 3276.8, {},
     "3276.8 degC is out of range; the tag takes -3276.8 to 3276.7 degC"},
    {"Int16RoundsOntoTheEnd", Spec(TagType::Int16), 32767.4, {0x7FFF}, ""},
    {"Int16RoundsPastTheEnd", Spec(TagType::Int16), 32767.5, {}, "takes -32768 to 32767"},
    {"Uint16NegativeRefused", Spec(TagType::UInt16), -1, {}, "takes 0 to 65535"},
    {"Uint16Offset", Spec(TagType::UInt16, 0.5, -40), 10, {100}, ""},
    {"NegativeScaleRangeInOrder", Spec(TagType::UInt16, -1), 1, {}, "takes -65535 to 0"},
    {"Int32HiLo", Spec(TagType::Int32), 65536, {0x0001, 0x0000}, ""},
    {"Int32LoHi", Spec(TagType::Int32, 1, 0, WordOrder::LoHi), 65536, {0x0000, 0x0001}, ""},
    {"Int32Lowest", Spec(TagType::Int32), -2147483648.0, {0x8000, 0x0000}, ""},
    {"Int32PastTop", Spec(TagType::Int32), 2147483648.0, {}, "takes -2147483648 to 2147483647"},
    {"Uint32Top", Spec(TagType::UInt32), 4294967295.0, {0xFFFF, 0xFFFF}, ""},
    {"Float32", Spec(TagType::Float32), -10, {0xC120, 0x0000}, ""},
    {"Float32LoHi", Spec(TagType::Float32, 1, 0, WordOrder::LoHi), 1, {0x0000, 0x3F80}, ""},
    {"Float32NaNRefused", Spec(TagType::Float32), std::nan(""), {}, "not NaN or infinity"},
    {"Float32InfinityRefused", Spec(TagType::Float32), INFINITY, {}, "not NaN or infinity"},
    {"Float32BeyondFloat", Spec(TagType::Float32), 1e39, {}, "beyond a float32's range"},
    {"Bcd16", Spec(TagType::Bcd16), 1234, {0x1234}, ""},
    {"Bcd16Above9999", Spec(TagType::Bcd16), 10000, {}, "takes 0 to 9999"},
    {"Bcd16Negative", Spec(TagType::Bcd16), -1, {}, "takes 0 to 9999"},
    {"Bcd32", Spec(TagType::Bcd32), 12345678, {0x1234, 0x5678}, ""},
    {"Bcd32LoHi", Spec(TagType::Bcd32, 1, 0, WordOrder::LoHi), 12345678, {0x5678, 0x1234}, ""},
    {"Bcd32Above", Spec(TagType::Bcd32), 100000000, {}, "takes 0 to 99999999"},
    {"Bcd16ScaledRangeInUnits", Spec(TagType::Bcd16, 0.1, 0, WordOrder::HiLo, "s"), 1000, {},
     "the tag takes 0 to 999.9 s"},
};

class TagEncode : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(TagEncode, ValueToWords) {
    const EncodeCase& c = GetParam();
    std::vector<std::uint16_t> words;
    std::string error;
    const bool ok = qel::session::EncodeTag(c.spec, c.value, words, error);
    ASSERT_EQ(ok, !c.words.empty()) << error;
    if (!ok) {
        EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
        EXPECT_TRUE(words.empty());
        return;
    }
    EXPECT_EQ(words, c.words);
}

INSTANTIATE_TEST_SUITE_P(Types, TagEncode, ::testing::ValuesIn(kEncodes), testsupport::CaseName<EncodeCase>);

// Every type under every scaling: the range's ends and values between go to
// words and back to the same value (within half a step of the scale).
TEST(TagRoundTrip, EveryTypeAndScaling) {
    const TagType types[] = {TagType::Int16, TagType::UInt16, TagType::Int32, TagType::UInt32,
                             TagType::Float32, TagType::Bcd16, TagType::Bcd32};
    const struct {
        double scale, offset;
    } scalings[] = {{1, 0}, {0.1, 0}, {0.01, -40}, {10, 5}, {-0.5, 100}};
    for (const TagType type : types)
        for (const auto& s : scalings)
            for (const WordOrder order : {WordOrder::HiLo, WordOrder::LoHi}) {
                const TagSpec spec = Spec(type, s.scale, s.offset, order);
                std::vector<double> raws = {0, 1, 7, 9999};
                if (type != TagType::Float32) {
                    const auto [low, high] = qel::session::RawRange(type);
                    raws.insert(raws.end(), {low, high, std::floor((low + high) / 3)});
                } else {
                    raws.insert(raws.end(), {-1.5, 3.25e10, -7e-3});
                }
                for (const double raw : raws) {
                    if (type == TagType::Bcd16 && raw > 9999) continue;
                    const double value = raw * s.scale + s.offset;
                    std::vector<std::uint16_t> words;
                    std::string error;
                    ASSERT_TRUE(qel::session::EncodeTag(spec, value, words, error))
                        << qel::session::TagTypeName(type) << " " << value << ": " << error;
                    ASSERT_EQ(words.size(), spec.Words());
                    std::vector<double> back;
                    ASSERT_TRUE(qel::session::DecodeTag(spec, words, back, error)) << error;
                    ASSERT_EQ(back.size(), 1u);
                    const double tolerance =
                        type == TagType::Float32 ? std::fabs(value) * 1e-6 + 1e-9 : std::fabs(s.scale) * 1e-6;
                    EXPECT_NEAR(back[0], value, tolerance) << qel::session::TagTypeName(type) << " scale " << s.scale;
                }
            }
}

TEST(TagRange, InUnitsAndNoneForFloats) {
    auto range = Spec(TagType::Int16, 0.1).Range();
    ASSERT_TRUE(range);
    EXPECT_DOUBLE_EQ(range->first, -3276.8);
    EXPECT_DOUBLE_EQ(range->second, 3276.7);
    range = Spec(TagType::UInt16, -2, 10).Range();
    ASSERT_TRUE(range);
    EXPECT_DOUBLE_EQ(range->first, -131060);
    EXPECT_DOUBLE_EQ(range->second, 10);
    EXPECT_FALSE(Spec(TagType::Float32).Range());
    EXPECT_FALSE(Spec(TagType::Bool).Range());
}

TEST(TagDeadband, SmallerChangesAreHeld) {
    TagSpec spec = Spec(TagType::Int16, 0.1);
    spec.deadband = 0.5;
    const std::vector<double> last = {20.0};
    EXPECT_FALSE(qel::session::PastDeadband(spec, last, std::vector<double>{20.4}));
    EXPECT_FALSE(qel::session::PastDeadband(spec, last, std::vector<double>{19.6}));
    EXPECT_TRUE(qel::session::PastDeadband(spec, last, std::vector<double>{20.5}));
    EXPECT_TRUE(qel::session::PastDeadband(spec, last, std::vector<double>{19.5}));
    EXPECT_TRUE(qel::session::PastDeadband(spec, last, std::vector<double>{20, 1}));
    spec.deadband = 0;
    EXPECT_TRUE(qel::session::PastDeadband(spec, last, std::vector<double>{20.1}));
    EXPECT_FALSE(qel::session::PastDeadband(spec, last, std::vector<double>{20.0}));
}

TEST(TagNumbers, ShortestText) {
    EXPECT_EQ(qel::session::NumberText(23.5), "23.5");
    EXPECT_EQ(qel::session::NumberText(-3276.8), "-3276.8");
    EXPECT_EQ(qel::session::NumberText(4294967295.0), "4294967295");
    EXPECT_EQ(qel::session::NumberText(0.1 + 0.2), "0.3");
    EXPECT_EQ(qel::session::NumberText(9999 * 0.1), "999.9");
    EXPECT_EQ(qel::session::NumberText(1000), "1000");
}

}  // namespace
