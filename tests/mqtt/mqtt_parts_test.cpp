// The MQTT front-end's plain parts: broker addresses, the options' defaults,
// the set messages and their checks, when a value goes out, the gate list's
// periods. Topics and payloads are checked end to end (publish_test.py).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "session/gates/gate_list.h"
#include "mqtt/mqtt_options.h"
#include "mqtt/mqtt_payload.h"
#include "mqtt/topic_hint.h"
#include "common/nearest_word.h"

namespace {

using namespace qel::mqtt;

TEST(BrokerUrl, Forms) {
    struct Case {
        const char* url;
        bool ok;
        const char* host;
        int port;
        bool tls;
    };
    const Case cases[] = {
        {"mqtt://127.0.0.1:1884", true, "127.0.0.1", 1884, false},
        {"mqtt://broker.plant", true, "broker.plant", 1883, false},
        {"mqtts://broker.plant", true, "broker.plant", 8883, true},
        {"mqtts://[::1]:8884/", true, "::1", 8884, true},
        {"mqtt://host:", false, "", 0, false},
        {"mqtt://host:70000", false, "", 0, false},
        {"mqtt://host:x", false, "", 0, false},
        {"mqtt://user@host", false, "", 0, false},
        {"tcp://host:1883", false, "", 0, false},
        {"mqtt://", false, "", 0, false},
    };
    for (const Case& c : cases) {
        BrokerAddress address;
        std::string error;
        EXPECT_EQ(ParseBrokerUrl(c.url, address, error), c.ok) << c.url;
        if (!c.ok) {
            EXPECT_NE(error.find(c.url), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(address.host, c.host) << c.url;
        EXPECT_EQ(address.port, c.port) << c.url;
        EXPECT_EQ(address.tls, c.tls) << c.url;
    }
}

TEST(Options, PrefixFromThePortAndPasswordFromTheEnvironment) {
    MqttOptions o;
    o.url = "mqtt://localhost";
    o.user = "gate";
    setenv("QELGATE_MQTT_PASSWORD", "secret", 1);
    std::string error;
    ASSERT_TRUE(CompleteMqttOptions(o, "/dev/ttyUSB0", error)) << error;
    unsetenv("QELGATE_MQTT_PASSWORD");
    EXPECT_EQ(o.lineName, "ttyUSB0");
    EXPECT_EQ(o.prefix, "fa/ttyUSB0");
    EXPECT_EQ(o.password, "secret");
    EXPECT_EQ(o.clientId.rfind("qelgate-ttyUSB0-", 0), 0u);

    MqttOptions wild;
    wild.url = "mqtt://localhost";
    wild.prefix = "fa/#";
    EXPECT_FALSE(CompleteMqttOptions(wild, "ttyS0", error));
    MqttOptions passwordOnly;
    passwordOnly.url = "mqtt://localhost";
    passwordOnly.password = "x";
    EXPECT_FALSE(CompleteMqttOptions(passwordOnly, "ttyS0", error));
    EXPECT_NE(error.find("--mqtt-user"), std::string::npos);
}

TEST(SetMessage, Values) {
    const std::pair<std::string, std::optional<long long>> cases[] = {
        {"42", 42},      {" 7 ", 7},       {"{\"v\":9}", 9}, {"-1", -1},          {"3.0", 3},
        {"3.5", {}},     {"abc", {}},      {"", {}},         {"{\"v\":\"1\"}", {}}, {"{\"v\":1,\"x\":2}", {}},
        {"[1]", {}},     {"true", {}},
        // Trailing bytes after the value are refused, a NUL above all.
        {std::string("49\0junk", 7), {}}, {std::string("49\0", 3), {}}, {"49 junk", {}}, {"49x", {}},
        {"{\"v\":5}x", {}}, {"4\x01", {}}, {"\n42\r\n", 42}, {"\t-3", -3},
        // Whole numbers in any JSON spelling; no fraction, no huge or unsigned overflow.
        {"1e3", 1000}, {"-2E2", -200}, {"1.5e1", 15}, {"1e-1", {}}, {"1e300", {}}, {"9.3e18", {}},
        {"18446744073709551574", {}}, {"9223372036854775807", {}}, {"-9000000000000000", -9000000000000000LL}, {"0x10", {}},
        {"+5", {}}, {"05", {}}, {"NaN", {}},
    };
    for (const auto& [payload, want] : cases) {
        const qel::session::WritePayload parsed = ParseWritePayload(payload);
        EXPECT_EQ(parsed.ok ? std::optional<long long>(parsed.value) : std::nullopt, want) << payload;
        EXPECT_EQ(parsed.refusal.empty(), parsed.ok) << payload;
    }
}

// Each refusal says why, the same for an HTTP body, an MQTT set and a
// Sparkplug command.
TEST(SetMessage, RefusalsSayWhy) {
    const std::pair<std::string, std::string> cases[] = {
        {std::string("{\"v\":5}\0garbage", 15), "a control byte (0x00) at byte 8"},
        {"{\"v\":5} garbage", "7 bytes follow the value, from byte 9"},
        {"{\"v\":53,\"v\":54}", "the key \"v\" is given twice"},
        {"{\"v\":53,\"\\u0076\":54}", "the key \"v\" is given twice"},
        {"{\"v\":5,\"x\":1}", "unknown key \"x\"; write {\"v\": N}"},
        {"{\"value\":5}", "unknown key \"value\"; write {\"v\": N}"},
        {"{}", "the object has no \"v\"; write {\"v\": N}"},
        {"{\"v\":\"5\"}", "\"v\" is not a number: write a whole number or {\"v\": N}"},
        {"{\"v\":{\"v\":5}}", "\"v\" is not a number: write a whole number or {\"v\": N}"},
        {"{\"v\":5", "not JSON: ',' or '}' expected at byte 7"},
        {"{\"v\" 5}", "not JSON: ':' expected at byte 6"},
        {"{v:5}", "not JSON: a key in quotes expected at byte 2"},
        {"2.5", "the payload 2.5 is not a whole number"},
        {"1e-400", "the payload 1e-400 is not a whole number"},
        {"1e400", "the payload 1e400 is beyond -9e15 to 9e15"},
        {"{\"v\":9000000000000001}", "\"v\" 9000000000000001 is beyond -9e15 to 9e15"},
        {"", "the payload is empty; write a whole number or {\"v\": N}"},
        {"  ", "the payload is empty; write a whole number or {\"v\": N}"},
        {"\x7f", "a control byte (0x7F) at byte 1"},
    };
    for (const auto& [payload, why] : cases) {
        const qel::session::WritePayload parsed = ParseWritePayload(payload);
        EXPECT_FALSE(parsed.ok) << payload;
        EXPECT_EQ(parsed.refusal, why) << payload;
    }
}

TEST(SetMessage, RangeChecks) {
    struct Case {
        std::uint32_t area;
        std::int32_t dataType;
        long long value;
        bool ok;
    };
    const Case cases[] = {
        {AREA_DR, DATA_TYPE_WORD, 65535, true}, {AREA_DR, DATA_TYPE_WORD, 65536, false},
        {AREA_DR, DATA_TYPE_WORD, -1, false},   {AREA_CP, DATA_TYPE_WORD, 9999, true},
        {AREA_CP, DATA_TYPE_WORD, 10000, false}, {AREA_TP, DATA_TYPE_WORD, 10000, false},
        {AREA_IO, DATA_TYPE_BIT, 1, true},      {AREA_IO, DATA_TYPE_BIT, 2, false},
        {AREA_FORCE, DATA_TYPE_WORD, 1, true},  {AREA_FORCE, DATA_TYPE_WORD, 5, false},
    };
    for (const Case& c : cases) {
        GateDefinition gate{};
        gate.areaCode = c.area;
        EXPECT_EQ(RefuseValue(gate, c.dataType, c.value).empty(), c.ok) << c.area << " " << c.value;
    }
}

TEST(Publishing, OnChangeAndEvery) {
    using Values = std::optional<std::vector<std::uint16_t>>;
    const auto t0 = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    const auto every = std::chrono::seconds(60);
    Published last{true, Values{{5}}, "good", t0};
    EXPECT_TRUE(NeedsPublish(Published{}, Values{{5}}, "good", t0, every));
    EXPECT_FALSE(NeedsPublish(last, Values{{5}}, "good", t0 + std::chrono::seconds(59), every));
    EXPECT_TRUE(NeedsPublish(last, Values{{5}}, "good", t0 + std::chrono::seconds(60), every));
    EXPECT_TRUE(NeedsPublish(last, Values{{6}}, "good", t0, every));
    EXPECT_TRUE(NeedsPublish(last, Values{{5}}, "down", t0, every));
}

TEST(GateList, Periods) {
    EXPECT_DOUBLE_EQ(qel::session::ParsePeriod("2s"), 2);
    EXPECT_DOUBLE_EQ(qel::session::ParsePeriod("0.5s"), 0.5);
    EXPECT_DOUBLE_EQ(qel::session::ParsePeriod("250ms"), 0.25);
    for (const char* bad : {"10ms", "s", "ms", "2", "1e3s", "-1s", "90000s", "2x"})
        EXPECT_EQ(qel::session::ParsePeriod(bad), 0) << bad;

    const std::string path = "/tmp/mqtt-parts-" + std::to_string(getpid()) + ".txt";
    std::ofstream(path) << "# list\n001DR0010\n001DR0020 8 5s\n002IO0005 bit 250ms\n";
    std::vector<qel::session::ListedGate> listed;
    std::string error;
    ASSERT_TRUE(qel::session::ReadGateList(path, listed, error)) << error;
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].period, 0);
    EXPECT_EQ(listed[1].gate.count, 8);
    EXPECT_DOUBLE_EQ(listed[1].period, 5);
    EXPECT_EQ(listed[2].gate.dataType, DATA_TYPE_BIT);
    EXPECT_DOUBLE_EQ(listed[2].period, 0.25);
    // A list read whole each round takes no period.
    std::vector<qel::session::Gate> gates;
    EXPECT_FALSE(qel::session::ReadGateList(path, gates, error));
    EXPECT_NE(error.find("001DR0020"), std::string::npos) << error;
    std::remove(path.c_str());
}

// A word nearly right says what is missing, not just what the fields are.
TEST(GateList, NearlyRightWordsSayWhatIsMissing) {
    const struct {
        const char* line;
        const char* says;
    } cases[] = {
        {"001DR0010 1000", "\"1000\" is no count (1 to 100); a period from 50ms to 86400s, written with its unit"},
        {"001DR0010 5 s", "\"5 s\" has a space before the unit; write 5s"},
        {"001DR0010 500 ms", "\"500 ms\" has a space before the unit; write 500ms"},
        {"001DR0010 5sec", "the unit \"sec\" is not known"},
        {"001DR0010 2m", "the unit \"m\" is not known"},
        {"001DR0010 10ms", "\"10ms\" is outside the periods accepted, 50ms to 86400s"},
        {"001DR0010 blue", "\"blue\" is neither a count from 1 to 100, bit or word"},
    };
    for (const auto& c : cases) {
        std::vector<qel::session::ListedGate> listed;
        std::string error;
        EXPECT_FALSE(qel::session::ParseGateList({{3, c.line}}, "gates.txt", listed, error)) << c.line;
        EXPECT_EQ(error.rfind("gates.txt:3: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.line << "\n  gave: " << error;
    }
}

// A set topic nearly right says what differs from the nearest published one.
TEST(SetTopic, NearlyRightSaysWhatDiffers) {
    const std::vector<std::string> published = {"fa/line1/001/DR0010", "fa/line1/002/DR0010", "fa/line1/002/tank_level"};
    const struct {
        const char* topic;
        const char* hint;  // "" for none
    } cases[] = {
        {"fa/line1/1/DR0010", "; did you mean fa/line1/001/DR0010/set? (the station is written in three digits)"},
        {"fa/line1/02/DR0010", "; did you mean fa/line1/002/DR0010/set? (the station is written in three digits)"},
        {"fa/line1/001/dr0010", "; did you mean fa/line1/001/DR0010/set? (the area is written in capitals)"},
        {"fa/line1/002/tank_levle",
         "; did you mean fa/line1/002/tank_level/set? (the gate or tag is \"tank_level\", not \"tank_levle\")"},
        {"fa/lin1/001/DR0010", "; did you mean fa/line1/001/DR0010/set? (\"lin1\" differs from \"line1\")"},
        {"fa/line1/001/DR0400", ""},  // another gate, not a mistyped one
        {"fa/line1/009/pressure", ""},
        {"other/topic", ""},
        {"fa/line1/000000000000000000000000000001/DR0010",
         "; did you mean fa/line1/001/DR0010/set? (the station is written in three digits)"},
        {"fa/line1/99999999999999999999999999/DR0010", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(qel::mqtt::TopicHint(c.topic, published), c.hint) << c.topic;
}

TEST(NearestWord, SwapsAndTyposButNotStrangers) {
    const std::vector<std::string> commands = {"describe", "check", "read", "write", "poll", "scan", "warm-start"};
    EXPECT_EQ(qel::common::NearestWord("raed", commands), "read");
    EXPECT_EQ(qel::common::NearestWord("sacn", commands), "scan");
    EXPECT_EQ(qel::common::NearestWord("wirte", commands), "write");
    EXPECT_EQ(qel::common::NearestWord("chekc", commands), "check");
    EXPECT_EQ(qel::common::NearestWord("warmstart", commands), "warm-start");
    EXPECT_EQ(qel::common::NearestWord("delete", commands), "");
    EXPECT_EQ(qel::common::EditDistance("abc", "acb"), 1u);
    EXPECT_EQ(qel::common::EditDistance("", "abc"), 3u);
}

}  // namespace
