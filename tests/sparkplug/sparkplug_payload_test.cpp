// The Sparkplug B payloads without a broker: the protobuf-c wire form of
// births and data, byte-exact for one metric, and the round trip of every
// datatype the node sends, with aliases, quality, nulls and seq.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sparkplug/sparkplug_payload.h"

namespace qel::sparkplug {
namespace {

std::string Bytes(std::initializer_list<unsigned> bytes) {
    std::string s;
    for (const unsigned b : bytes) s += static_cast<char>(b);
    return s;
}

Metric Make(std::string name, std::optional<std::uint64_t> alias, DataType type, std::uint64_t number,
            std::string text = {}) {
    Metric m;
    m.name = std::move(name);
    m.alias = alias;
    m.type = type;
    m.timestamp = 1733650000123;
    m.number = number;
    m.text = std::move(text);
    return m;
}

TEST(SparkplugPayload, OneMetricIsByteExact) {
    Payload p;
    p.timestamp = 1;
    p.seq = 255;
    Metric m = Make("", 16, DataType::UInt16, 7);
    m.timestamp = 2;
    p.metrics.push_back(m);
    // timestamp 1; metric {alias 16, timestamp 2, datatype 6, int_value 7}; seq 255.
    EXPECT_EQ(EncodePayload(p), Bytes({0x08, 0x01, 0x12, 0x08, 0x10, 0x10, 0x18, 0x02, 0x20, 0x06, 0x50, 0x07, 0x18,
                                      0xff, 0x01}));
}

struct Case {
    const char* what;
    Metric metric;
};

std::vector<Case> Cases() {
    Metric bad = Make("DR0011", 17, DataType::UInt16, 1234);
    bad.quality = Quality::Bad;
    bad.reason = "timeout";
    Metric null = Make("DR0012", 18, DataType::UInt16, 0);
    null.isNull = true;
    null.quality = Quality::Bad;
    null.reason = "not read yet";
    Metric uncertain = Make("DR0020", 19, DataType::Bytes, 0, WordBytes({0x1234, 0xabcd, 0}));
    uncertain.quality = Quality::Uncertain;
    Metric historical = Make("", 20, DataType::UInt16, 65535);
    historical.historical = true;
    historical.quality = Quality::Good;
    Metric good = Make("tank_level", 21, DataType::UInt16, 500);
    good.quality = Quality::Good;
    return {
        {"bdSeq Int64", Make("bdSeq", std::nullopt, DataType::Int64, 255)},
        {"Int64 past 32 bits", Make("bdSeq", std::nullopt, DataType::Int64, std::uint64_t{1} << 40)},
        {"rebirth Boolean false", Make("Node Control/Rebirth", 1, DataType::Boolean, 0)},
        {"port Boolean true", Make("Line/Port Open", 2, DataType::Boolean, 1)},
        {"UInt16 good with tag", good},
        {"UInt16 bad with reason", bad},
        {"UInt16 null", null},
        {"block Bytes uncertain", uncertain},
        {"DDATA by alias, historical", historical},
        {"String", Make("note", 22, DataType::String, 0, "a\xc3\xa9z")},
        {"alias 0 is an alias", Make("", 0, DataType::UInt16, 3)},
    };
}

TEST(SparkplugPayload, EveryDatatypeRoundTrips) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.what);
        Payload in;
        in.timestamp = 1733650000999;
        in.seq = 42;
        in.metrics.push_back(c.metric);
        Payload out;
        ASSERT_TRUE(DecodePayload(EncodePayload(in), out));
        EXPECT_EQ(out.timestamp, in.timestamp);
        EXPECT_EQ(out.seq, in.seq);
        ASSERT_EQ(out.metrics.size(), 1u);
        const Metric& m = out.metrics.front();
        EXPECT_EQ(m.name, c.metric.name);
        EXPECT_EQ(m.alias, c.metric.alias);
        EXPECT_EQ(m.type, c.metric.type);
        EXPECT_EQ(m.timestamp, c.metric.timestamp);
        EXPECT_EQ(m.historical, c.metric.historical);
        EXPECT_EQ(m.isNull, c.metric.isNull);
        if (!c.metric.isNull) {
            EXPECT_EQ(m.number, c.metric.number);
            EXPECT_EQ(m.text, c.metric.text);
        }
        EXPECT_EQ(m.quality, c.metric.quality);
        EXPECT_EQ(m.reason, c.metric.reason);
    }
}

TEST(SparkplugPayload, BirthKeepsItsMetricsInOrder) {
    Payload birth;
    birth.timestamp = 5;
    birth.seq = 0;
    for (const Case& c : Cases()) birth.metrics.push_back(c.metric);
    Payload out;
    ASSERT_TRUE(DecodePayload(EncodePayload(birth), out));
    ASSERT_EQ(out.metrics.size(), birth.metrics.size());
    for (std::size_t i = 0; i < out.metrics.size(); ++i) {
        EXPECT_EQ(out.metrics[i].name, birth.metrics[i].name) << i;
        EXPECT_EQ(out.metrics[i].alias, birth.metrics[i].alias) << i;
    }
}

TEST(SparkplugPayload, SeqWrapsAndADeathHasNone) {
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> next = {{0, 1}, {41, 42}, {254, 255}, {255, 0}};
    for (const auto& [seq, after] : next) EXPECT_EQ(NextSequence(seq), after) << seq;
    std::uint64_t seq = 0;
    for (int i = 0; i < 256; ++i) seq = NextSequence(seq);
    EXPECT_EQ(seq, 0u);

    for (const std::uint64_t s : {0ull, 255ull}) {
        Payload in;
        in.seq = s;
        Payload out;
        ASSERT_TRUE(DecodePayload(EncodePayload(in), out));
        EXPECT_EQ(out.seq, s);
    }
    Payload death;  // NDEATH carries bdSeq, no seq
    death.metrics.push_back(Make("bdSeq", std::nullopt, DataType::Int64, 7));
    Payload out;
    ASSERT_TRUE(DecodePayload(EncodePayload(death), out));
    EXPECT_FALSE(out.seq.has_value());
}

TEST(SparkplugPayload, WordBytesAreLittleEndian) {
    EXPECT_EQ(WordBytes({0x1234, 0xabcd}), Bytes({0x34, 0x12, 0xcd, 0xab}));
    EXPECT_EQ(WordBytes({}), "");
}

TEST(SparkplugPayload, TruncatedBytesAreRefused) {
    Payload out;
    EXPECT_FALSE(DecodePayload(Bytes({0x12, 0x08, 0x10}), out));  // a metric of 8 bytes with 1 there
    const std::string whole = EncodePayload({1, 3, {Make("DR0010", 16, DataType::UInt16, 9)}});
    EXPECT_FALSE(DecodePayload(whole.substr(0, whole.size() - 1), out));
}

}  // namespace
}  // namespace qel::sparkplug

// The names a refused DCMD's datatype is told by, as Sparkplug B numbers them.
TEST(SparkplugPayload, DataTypeNames) {
    const std::pair<std::uint32_t, const char*> rows[] = {
        {0, "Unknown"}, {3, "Int32"},   {4, "Int64"},  {6, "UInt16"},    {11, "Boolean"},
        {12, "String"}, {17, "Bytes"},  {19, "Template"}, {20, "datatype 20"}, {4000000000u, "datatype 4000000000"},
    };
    for (const auto& [type, name] : rows) EXPECT_EQ(qel::sparkplug::DataTypeName(type), name) << type;
}
