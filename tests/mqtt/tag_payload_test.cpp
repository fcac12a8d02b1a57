// A tag's JSON payload and its set values: the engineering value, the raw
// words where they differ, the unit, and the words a set writes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "mqtt/mqtt_payload.h"
#include "session/gates/write_payload.h"
#include "session/gates/tag_write.h"

namespace {

using qel::session::TagSpec;
using qel::session::TagType;

TagSpec Spec(TagType type, double scale = 1, const char* unit = "") {
    TagSpec spec;
    spec.type = type;
    spec.typed = true;
    spec.scale = scale;
    spec.unit = unit;
    return spec;
}

using Words = std::optional<std::vector<std::uint16_t>>;

TEST(TagPayload, EngineeringValueRawAndUnit) {
    const struct {
        TagSpec spec;
        Words words;
        bool block;
        std::string payload;
    } cases[] = {
        // A tag that converts nothing keeps today's bytes.
        {TagSpec{}, Words{{42}}, false, R"({"v":42,"t":5,"q":"good"})"},
        {Spec(TagType::UInt16), Words{{42}}, false, R"({"v":42,"t":5,"q":"good"})"},
        {Spec(TagType::UInt16, 1, "rpm"), Words{{42}}, false, R"({"v":42,"u":"rpm","t":5,"q":"good"})"},
        {Spec(TagType::Int16, 0.1, "degC"), Words{{235}}, false, R"({"v":23.5,"raw":235,"u":"degC","t":5,"q":"good"})"},
        {Spec(TagType::Int16), Words{{0xFFFF}}, false, R"({"v":-1,"raw":65535,"t":5,"q":"good"})"},
        {Spec(TagType::UInt32), Words{{1, 0}}, false, R"({"v":65536,"raw":[1,0],"t":5,"q":"good"})"},
        {Spec(TagType::Float32), Words{{0x3FC0, 0}}, false, R"({"v":1.5,"raw":[16320,0],"t":5,"q":"good"})"},
        {Spec(TagType::Int32), Words{{0, 1, 0xFFFF, 0xFFFF}}, true, R"({"v":[1,-1],"raw":[0,1,65535,65535],"t":5,"q":"good"})"},
        {Spec(TagType::Bcd16), Words{{0x1234}}, false, R"({"v":1234,"raw":4660,"t":5,"q":"good"})"},
        // Words that are no value of the type.
        {Spec(TagType::Bcd16), Words{{0x00A0}}, false, R"({"v":null,"raw":160,"t":5,"q":"bad_value"})"},
        {Spec(TagType::Int16, 0.1, "degC"), std::nullopt, false, R"({"v":null,"u":"degC","t":5,"q":"timeout"})"},
    };
    for (const auto& c : cases) {
        const std::string quality = c.words ? "good" : "timeout";
        EXPECT_EQ(qel::mqtt::TagPayload(c.spec, c.words, c.block, 5, quality), c.payload);
    }
}

// A tag's set: the one rule of every write's payload, a fraction taken;
// the duplicate key, the unknown key and trailing bytes refused all the same.
TEST(TagPayload, SetNumbersInUnits) {
    const struct {
        const char* payload;
        double number;
    } good[] = {{"23.5", 23.5}, {" {\"v\": -1e3} ", -1000}, {"7", 7}, {"-0.25", -0.25}, {"{\"v\":1.5e-1}", 0.15}};
    for (const auto& c : good) {
        const qel::session::WritePayload parsed = qel::session::ParseWritePayload(c.payload, true);
        EXPECT_TRUE(parsed.ok) << c.payload << ": " << parsed.refusal;
        EXPECT_DOUBLE_EQ(parsed.number, c.number) << c.payload;
    }
    // A gate's set keeps refusing the fraction.
    EXPECT_FALSE(qel::session::ParseWritePayload("23.5").ok);
    const struct {
        std::string payload;
        const char* says;
    } bad[] = {{"", "empty"},
               {"\"5\"", "not a number"},
               {"[1]", "not a number"},
               {"{\"v\":1,\"x\":2}", "unknown key \"x\""},
               {"{\"v\":1,\"v\":2.5}", "given twice"},
               {"1 2", "bytes follow the value"},
               {"2.5x", "bytes follow the value"},
               {"true", "not a number"},
               {"null", "not a number"},
               {"1e999", "beyond"},
               {std::string("5\x01"), "control byte"},
               {std::string("5\0", 2), "control byte"}};
    for (const auto& c : bad) {
        const qel::session::WritePayload parsed = qel::session::ParseWritePayload(c.payload, true);
        EXPECT_FALSE(parsed.ok) << c.payload;
        EXPECT_NE(parsed.refusal.find(c.says), std::string::npos) << c.payload << ": " << parsed.refusal;
    }
}

TEST(TagWrite, WordsAndTheirExchanges) {
    qel::session::Gate gate;
    gate.gas = "001DR0020";
    gate.count = 2;
    gate.definition.station = 1;
    gate.definition.areaCode = AREA_DR;
    gate.definition.element = 20;
    gate.definition.count = 2;
    std::vector<std::uint16_t> words;
    std::string error;
    ASSERT_TRUE(qel::session::TagWriteWords(Spec(TagType::UInt32), gate, 65536, words, error)) << error;
    EXPECT_EQ(words, (std::vector<std::uint16_t>{1, 0}));
    const auto exchanges = qel::session::TagWrites(gate, words);
    ASSERT_EQ(exchanges.size(), 2u);
    EXPECT_TRUE(exchanges[0].write && exchanges[1].write);
    EXPECT_EQ(exchanges[0].gas, "001DR0020");
    EXPECT_EQ(exchanges[1].gas, "001DR0021");
    EXPECT_EQ(exchanges[0].transfer.element, 20u);
    EXPECT_EQ(exchanges[1].transfer.element, 21u);
    EXPECT_EQ(exchanges[0].transfer.count, 1);
    EXPECT_EQ(exchanges[0].slots[1], 1);
    EXPECT_EQ(exchanges[1].slots[1], 0);
    // A preset takes 0-9999 a word: a bcd16 of 9999 is the word 0x9999.
    gate.gas = "001CP0003";
    gate.count = 1;
    gate.definition.areaCode = AREA_CP;
    EXPECT_FALSE(qel::session::TagWriteWords(Spec(TagType::Bcd16), gate, 9999, words, error));
    EXPECT_NE(error.find("a preset is 0-9999, and 9999 is the word 39321"), std::string::npos) << error;
    EXPECT_TRUE(qel::session::TagWriteWords(Spec(TagType::UInt16, 0.5), gate, 100, words, error)) << error;
    EXPECT_EQ(words, (std::vector<std::uint16_t>{200}));
}

}  // namespace
