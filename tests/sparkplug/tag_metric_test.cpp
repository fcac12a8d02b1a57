// A tag's metric: its datatype, its value in the field of that datatype,
// and the properties of the birth, through the wire form and back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sparkplug/sparkplug_payload.h"
#include "sparkplug/tag_metric.h"

namespace qel::sparkplug {
namespace {

using session::TagSpec;
using session::TagType;

TagSpec Spec(TagType type, double scale = 1) {
    TagSpec spec;
    spec.type = type;
    spec.typed = true;
    spec.scale = scale;
    return spec;
}

TEST(TagMetric, DatatypeFollowsTheTag) {
    const struct {
        TagSpec spec;
        DataType type;
    } cases[] = {
        {Spec(TagType::Bool), DataType::Boolean},      {Spec(TagType::Int16), DataType::Int16},
        {Spec(TagType::UInt16), DataType::UInt16},     {Spec(TagType::Int32), DataType::Int32},
        {Spec(TagType::UInt32), DataType::UInt32},     {Spec(TagType::Float32), DataType::Float},
        {Spec(TagType::Bcd16), DataType::UInt16},      {Spec(TagType::Bcd32), DataType::UInt32},
        {Spec(TagType::Int16, 0.1), DataType::Double}, {Spec(TagType::Float32, 2), DataType::Double},
        {TagSpec{}, DataType::UInt16},
    };
    for (const auto& c : cases) EXPECT_EQ(TagDataType(c.spec), c.type) << TagTypeName(c.spec.type);
}

// Each datatype's value through the wire form and back to the same number,
// negative ones and the 32-bit ends included.
TEST(TagMetric, ValuesRoundTripThroughTheWire) {
    const struct {
        DataType type;
        double value;
    } cases[] = {
        {DataType::Int16, -32768},      {DataType::Int16, 32767},       {DataType::Int32, -2147483648.0},
        {DataType::Int32, 2147483647},  {DataType::UInt32, 4294967295.0}, {DataType::UInt16, 65535},
        {DataType::Float, -2.25},       {DataType::Double, 23.4},       {DataType::Boolean, 1},
    };
    for (const auto& c : cases) {
        Metric m;
        m.name = "tag";
        m.type = c.type;
        SetMetricValue(m, c.value);
        Payload payload;
        payload.metrics.push_back(m);
        Payload back;
        ASSERT_TRUE(DecodePayload(EncodePayload(payload), back));
        ASSERT_EQ(back.metrics.size(), 1u);
        EXPECT_EQ(back.metrics[0].type, c.type);
        EXPECT_EQ(MetricNumber(back.metrics[0]), c.value) << static_cast<int>(c.type);
    }
}

TEST(TagMetric, BirthPropertiesRoundTrip) {
    TagSpec spec = Spec(TagType::Int16, 0.1);
    spec.unit = "deg C";
    spec.desc = "oven zone A";
    Metric m;
    m.name = "temp";
    m.type = TagDataType(spec);
    m.quality = Quality::Good;
    SetMetricValue(m, 23.5);
    SetTagProperties(m, spec, false);
    Payload payload;
    payload.metrics.push_back(m);
    Payload back;
    ASSERT_TRUE(DecodePayload(EncodePayload(payload), back));
    const Metric& got = back.metrics.at(0);
    EXPECT_EQ(got.quality, Quality::Good);
    EXPECT_EQ(got.engUnit, "deg C");
    EXPECT_EQ(got.description, "oven zone A");
    EXPECT_EQ(got.engLow, -3276.8);
    EXPECT_EQ(got.engHigh, 3276.7);
    EXPECT_EQ(got.real, 23.5);
    // A float has no range, and a metric without any property has none.
    Metric plain;
    SetTagProperties(plain, Spec(TagType::Float32), false);
    EXPECT_FALSE(plain.engLow || plain.engHigh);
    EXPECT_TRUE(plain.engUnit.empty());
}

TEST(TagMetric, NonNumbersHaveNoNumber) {
    Metric m;
    m.type = DataType::String;
    EXPECT_FALSE(MetricNumber(m));
    m.type = DataType::Int64;
    m.isNull = true;
    EXPECT_FALSE(MetricNumber(m));
    m.isNull = false;
    m.number = static_cast<std::uint64_t>(-5LL);
    EXPECT_EQ(MetricNumber(m), -5);
}

}  // namespace
}  // namespace qel::sparkplug
