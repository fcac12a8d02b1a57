#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "gateway/config_file.h"
#include "gateway/option_paths.h"
#include "gateway/reload_rules.h"
#include "path_keys.h"
#include "session/gates/gate_list.h"

namespace qel::gateway {
namespace {

// A config file in a directory of its own, with a gate list beside it.
class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qelgate-config-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::ofstream(dir_ + "/gates.txt") << "001DR0010\n";
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
    std::string Write(const std::string& text) {
        const std::string path = dir_ + "/line1.toml";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    bool Load(const std::string& text, Options& options, std::string& error, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--config", Write(text)};
        args.insert(args.end(), extra.begin(), extra.end());
        return LoadOptions(args, options, error);
    }
    std::string dir_;
};

TEST_F(ConfigFileTest, KeysAreTheLongOptions) {
    Options o;
    std::string error;
    ASSERT_TRUE(Load("\xEF\xBB\xBF# line 1 of the box\r\n"
                     "port = \"ttyUSB1\"  # the first RS-485 port\r\n"
                     "baud = 19200\r\n"
                     "station = [\"2:FA3\", \"7:FA3\"]\r\n"
                     "allow-writes = true\r\n"
                     "down-hold = 2.5\r\n"
                     "publish = \"gates.txt\"\r\n"
                     "mqtt = \"mqtt://127.0.0.1\"\r\n",
                     o, error))
        << error;
    EXPECT_EQ(o.session.line.port, "ttyUSB1");
    EXPECT_EQ(o.session.line.baud, 19200u);
    ASSERT_EQ(o.session.stations.size(), 2u);
    EXPECT_EQ(o.session.stations[1].station, 7u);
    EXPECT_EQ(o.session.stations[1].model, "FA3");
    EXPECT_TRUE(o.allowWrites);
    EXPECT_DOUBLE_EQ(o.downHoldSeconds, 2.5);
    EXPECT_EQ(o.mqtt.publishFile, dir_ + "/gates.txt");  // from the file's directory
    EXPECT_EQ(o.mqtt.url, "mqtt://127.0.0.1");
}

TEST_F(ConfigFileTest, TheCommandLineWins) {
    Options o;
    std::string error;
    ASSERT_TRUE(Load("port = \"ttyUSB1\"\nlisten = \"0.0.0.0:502\"\nstation = [\"2:FA3\", \"42:FA3\"]\n", o, error,
                     {"--listen", "127.0.0.1:1600", "--station", "133:FA3", "--station", "42:FA2"}))
        << error;
    EXPECT_EQ(o.listen, "127.0.0.1:1600");
    EXPECT_EQ(o.session.line.port, "ttyUSB1");
    // The stations merged one by one: the file's 2, the command line's 42 and 133.
    ASSERT_EQ(o.session.stations.size(), 3u);
    EXPECT_EQ(o.session.stations[0].station, 2u);
    EXPECT_EQ(o.session.stations[0].model, "FA3");
    EXPECT_EQ(o.session.stations[1].station, 42u);
    EXPECT_EQ(o.session.stations[1].model, "FA2");
    EXPECT_EQ(o.session.stations[2].station, 133u);
    EXPECT_NE(EffectiveConfig(o).find("station = [\"2:FA3\", \"42:FA2\", \"133:FA3\"]"), std::string::npos)
        << EffectiveConfig(o);
}

// Every path-valued key: relative in the file, from the file's folder; on
// the command line, from the folder the program started in. A reload
// reads the same files after the program moved into a directory of its own.
TEST_F(ConfigFileTest, RelativePathsKeepTheirMeaning) {
    const std::string start = StartDirectory().string();
    MakePathKeyFiles(dir_);
    std::string file = "mqtt = \"mqtt://127.0.0.1\"\n";
    for (const PathKey& k : PathKeys()) file += std::string(k.key) + " = \"" + k.name + "\"\n";
    const auto pathsOf = [](Options& o) {
        std::map<std::string, std::string> paths;
        ForEachPath(o, [&paths](const std::string& key, std::string& value) { paths[key] = value; });
        return paths;
    };
    Options o;
    std::string error;
    ASSERT_TRUE(Load(file, o, error)) << error;
    std::map<std::string, std::string> inFile = pathsOf(o);
    for (const PathKey& k : PathKeys()) EXPECT_EQ(inFile[k.key], dir_ + "/" + k.name) << k.key;
    // The same keys on the command line, from the start folder; then again
    // from another working folder, as a reload reads them.
    std::vector<std::string> args = {"--mqtt", "mqtt://127.0.0.1"};
    for (const PathKey& k : PathKeys()) {
        const std::string key = k.key;
        const std::string rel =
            std::filesystem::relative(inFile[key], start).string();  // the same file, named from the start folder
        ASSERT_TRUE(std::filesystem::path(rel).is_relative()) << rel;
        if (key == "port" || key == "publish") {
            args.insert(args.end(), {"--" + key, rel});  // --key VALUE
        } else {
            args.push_back("--" + key + "=" + rel);      // --key=VALUE
        }
    }
    Options fromLine;
    ASSERT_TRUE(LoadOptions(args, fromLine, error)) << error;
    const std::string here = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    Options reloaded;
    const bool again = LoadOptions(args, reloaded, error);
    ASSERT_EQ(chdir(here.c_str()), 0);
    ASSERT_TRUE(again) << error;
    std::map<std::string, std::string> first = pathsOf(fromLine), second = pathsOf(reloaded);
    for (const PathKey& k : PathKeys()) EXPECT_EQ(first[k.key], inFile[k.key]) << k.key;
    EXPECT_EQ(first, second);
    // A bare device name is the driver's /dev, "off" no folder.
    Options bare;
    ASSERT_TRUE(LoadOptions({"--port", "ttyUSB0", "--buffer", "off"}, bare, error)) << error;
    EXPECT_EQ(bare.session.line.port, "ttyUSB0");
    EXPECT_EQ(bare.mqtt.buffer, "off");
}

TEST_F(ConfigFileTest, InlineListsKeepTheirLinesAndTags) {
    Options o;
    std::string error;
    ASSERT_TRUE(Load("port = \"ttyUSB1\"\n"
                     "mqtt = \"mqtt://127.0.0.1\"\n"
                     "publish = [\n"
                     "  { gate = \"001DR0010\", period = \"1s\", tag = \"tank_level\" },\n"
                     "  \"001IO0001 bit\",\n"
                     "  { gate = \"002DR0000\", count = 4, period = \"500ms\" },\n"
                     "]\n"
                     "write-allow = [{ gate = \"001DR0100\", count = 3 }]\n",
                     o, error))
        << error;
    ASSERT_EQ(o.mqtt.publishLines.size(), 3u);
    EXPECT_EQ(o.mqtt.publishLines[0].number, 4u);
    EXPECT_EQ(o.mqtt.publishLines[0].text, "001DR0010 1s tag=tank_level");
    EXPECT_EQ(o.mqtt.publishLines[1].text, "001IO0001 bit");
    EXPECT_EQ(o.mqtt.publishLines[2].text, "002DR0000 4 500ms");
    ASSERT_EQ(o.writeAllowLines.size(), 1u);
    EXPECT_EQ(o.writeAllowLines[0].text, "001DR0100 3");
    EXPECT_EQ(o.writeAllowOrigin, dir_ + "/line1.toml");
}

// A tag as a table: its fields become the line format's, quoted, and read
// back as the gate list reads them; type = "bit" keeps its old meaning.
TEST_F(ConfigFileTest, TagTablesBecomeTagFields) {
    Options o;
    std::string error;
    ASSERT_TRUE(Load("port = \"ttyUSB1\"\n"
                     "mqtt = \"mqtt://127.0.0.1\"\n"
                     "publish = [\n"
                     "  { gate = \"001DR0010\", tag = \"oven\", type = \"int16\", scale = 0.1, unit = \"deg C\","
                     " deadband = 0.5, desc = \"oven zone A\" },\n"
                     "  { gate = \"001DR0020\", type = \"uint32\", order = \"lo-hi\", offset = -1 },\n"
                     "  { gate = \"001IO0001\", type = \"bit\" },\n"
                     "]\n",
                     o, error))
        << error;
    ASSERT_EQ(o.mqtt.publishLines.size(), 3u);
    EXPECT_EQ(o.mqtt.publishLines[1].text, "001DR0020 offset=\"-1\" order=\"lo-hi\" type=\"uint32\"");
    EXPECT_EQ(o.mqtt.publishLines[2].text, "001IO0001 bit");
    std::vector<qel::session::ListedGate> listed;
    ASSERT_TRUE(qel::session::ParseGateList(o.mqtt.publishLines, "line1.toml", listed, error)) << error;
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].tag, "oven");
    EXPECT_EQ(listed[0].spec.type, qel::session::TagType::Int16);
    EXPECT_DOUBLE_EQ(listed[0].spec.scale, 0.1);
    EXPECT_EQ(listed[0].spec.unit, "deg C");
    EXPECT_EQ(listed[0].spec.desc, "oven zone A");
    EXPECT_DOUBLE_EQ(listed[0].spec.deadband, 0.5);
    EXPECT_EQ(listed[1].gate.count, 2);
    EXPECT_EQ(listed[1].spec.order, qel::session::WordOrder::LoHi);
    EXPECT_EQ(listed[2].gate.dataType, DATA_TYPE_BIT);
    // A bad field's value is the gate list's error, at the table's line.
    std::vector<qel::common::TextLine> bad = {{4, "001DR0010 type=\"int64\""}};
    EXPECT_FALSE(qel::session::ParseGateList(bad, "line1.toml", listed, error));
    EXPECT_EQ(error.rfind("line1.toml:4: type=int64 is no type", 0), 0u) << error;
}

// Each broken file: its error names file:line:column, the key and what is right.
TEST_F(ConfigFileTest, ErrorsNameTheSpot) {
    const struct {
        const char* text;
        const char* where;  // after the path
        const char* says;
    } cases[] = {
        {"port = \"ttyUSB1\"\nlisen = \"0.0.0.0:502\"\n", ":2:1:", "unknown key \"lisen\"; the keys are qelgate's long options, e.g. \"listen\""},
        {"port = \"ttyUSB1\"\nbaud = 70000\n", ":2:8:", "baud: --baud: 70000"},
        {"allow-writes = \"yes\"\n", ":1:16:", "allow-writes: a switch: write true or false"},
        {"listen = [\"a:1\", \"b:2\"]\n", ":1:10:", "listen: takes one value, not an array"},
        {"parity = \"evn\"\n", ":1:10:", "parity: --parity: evn not in"},
        {"station = [\"2:FA9\"]\n", ":1:", "station:"},
        {"port = \"ttyUSB1\"\nport = \"ttyUSB2\"\n", ":2:", "cannot redefine existing string 'port'"},
        {"max-clients = true\n", ":1:15:", "max-clients: takes a value, not true or false"},
        {"publish = [{ gate = \"001DR0010\", perod = \"1s\" }]\n", ":1:", "publish: unknown field \"perod\""},
        {"publish = [{ period = \"1s\" }]\n", ":1:12:", "publish: the entry names no gate"},
        {"publish = []\n", ":1:11:", "publish: the list is empty"},
        {"publish = [{ gate = \"001DR0010\", period = 1000 }]\n", ":1:", "period = 1000 has no unit; write it as a string with its unit, period = \"1000ms\""},
        {"config = \"other.toml\"\n", ":1:1:", "config: only on the command line"},
        {"models = \"missing.int\"\n", ":1:10:", "models: --models: File does not exist"},
    };
    for (const auto& c : cases) {
        Options o;
        std::string error;
        EXPECT_FALSE(Load(c.text, o, error)) << c.text;
        const std::string head = dir_ + "/line1.toml" + c.where;
        EXPECT_EQ(error.rfind(head, 0), 0u) << c.text << "\n  gave: " << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.text << "\n  gave: " << error;
    }
}

TEST_F(ConfigFileTest, CheckPrintsAFileThatReadsBackTheSame) {
    Options o;
    std::string error;
    ASSERT_TRUE(Load("port = \"ttyUSB1\"\nstation = [\"2:FA3\"]\nhttp = \"9502\"\nstats-interval = 60\n"
                     "mqtt = \"mqtt://127.0.0.1\"\npublish = [\"001DR0010 tag=a\"]\n",
                     o, error))
        << error;
    const std::string printed = EffectiveConfig(o);
    EXPECT_NE(printed.find("station = [\"2:FA3\"]\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("publish = [\"001DR0010 tag=a\"]\n"), std::string::npos) << printed;
    Options again;
    ASSERT_TRUE(Load(printed, again, error)) << error << "\n" << printed;
    EXPECT_TRUE(CompareOptions(o, again).empty()) << ChangesText(CompareOptions(o, again));
}

// What a reload does with each option.
TEST(ReloadRules, EachOptionHasItsKind) {
    const struct {
        const char* key;
        ReloadKind kind;
    } rules[] = {
        {"publish", ReloadKind::InPlace},       {"write-allow", ReloadKind::InPlace},
        {"allow-writes", ReloadKind::InPlace},  {"units", ReloadKind::InPlace},
        {"max-clients", ReloadKind::InPlace},   {"client-idle", ReloadKind::InPlace},
        {"http", ReloadKind::InPlace},          {"mqtt", ReloadKind::InPlace},
        {"line-name", ReloadKind::InPlace},     {"verbose", ReloadKind::InPlace},
        {"log", ReloadKind::InPlace},           {"stats-interval", ReloadKind::InPlace},
        {"port", ReloadKind::Reopen},           {"baud", ReloadKind::Reopen},
        {"parity", ReloadKind::Reopen},         {"stop-bits", ReloadKind::Reopen},
        {"data-bits", ReloadKind::Reopen},      {"timeout", ReloadKind::Reopen},
        {"listen", ReloadKind::Restart},        {"models", ReloadKind::Restart},
        {"station", ReloadKind::Restart},       {"qel", ReloadKind::Restart},
        {"driver", ReloadKind::Restart},        {"down-hold", ReloadKind::Restart},
        {"max-age", ReloadKind::Restart},       {"poll", ReloadKind::Restart},
        {"http-writes", ReloadKind::Restart},   {"http-token-file", ReloadKind::Restart},
        {"http-tls-cert", ReloadKind::Restart}, {"http-tls-key", ReloadKind::Restart},
        {"http-tls-client-ca", ReloadKind::Restart}, {"http-plaintext-writes", ReloadKind::Restart},
        {"record", ReloadKind::Restart},        {"record-max", ReloadKind::Restart},
    };
    for (const auto& rule : rules) EXPECT_EQ(ReloadKindOf(rule.key), rule.kind) << rule.key;
    // Every option has a rule; none is forgotten by the comparison.
    EXPECT_EQ(OptionValues(Options{}).size(), 56u);
    // ... and --check prints every key the file takes.
    CLI::App app;
    Options defaults;
    AddOptions(app, defaults);
    std::set<std::string> printed;
    for (const OptionValue& value : OptionValues(defaults)) printed.insert(value.key);
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) {
            if (name != "config" && name != "check" && name != "map" && name != "help") {
                EXPECT_EQ(printed.count(name), 1u) << name << " is missing from --check";
            }
        }
    }
}

TEST(ReloadRules, ComparesWhatChanged) {
    Options running, next;
    running.session.line.port = next.session.line.port = "ttyUSB0";
    next.session.line.baud = 19200;
    next.maxClients = 4;
    next.mqtt.publishLines = {{3, "001DR0010 tag=level"}};
    const std::vector<OptionChange> changes = CompareOptions(running, next);
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].key, "baud");
    EXPECT_EQ(changes[0].kind, ReloadKind::Reopen);
    EXPECT_EQ(changes[1].key, "max-clients");
    EXPECT_EQ(changes[2].key, "publish");
    EXPECT_EQ(ChangesText(changes).substr(0, 19), "baud 9600 -> 19200,");
    // A port that moves onto a line over TCP needs its bridge: a restart.
    next = running;
    next.session.line.port = "tcp:10.0.0.5:4001";
    ASSERT_EQ(CompareOptions(running, next).size(), 1u);
    EXPECT_EQ(CompareOptions(running, next)[0].kind, ReloadKind::Restart);
    // A password is never shown.
    next = running;
    next.mqtt.password = "secret";
    EXPECT_EQ(ChangesText(CompareOptions(running, next)).find("secret"), std::string::npos);
}

// The line's name in the topics, from the port when --line-name is not given.
TEST(ReloadRules, DefaultLineNamesAreTopicSafe) {
    EXPECT_EQ(mqtt::DefaultLineName("ttyUSB0"), "ttyUSB0");
    EXPECT_EQ(mqtt::DefaultLineName("/dev/ttyS1"), "ttyS1");
    EXPECT_EQ(mqtt::DefaultLineName("tcp:127.0.0.1:14001"), "127.0.0.1_14001");
    EXPECT_EQ(mqtt::DefaultLineName("tcp:[::1]:4001"), "___1__4001");
    mqtt::MqttOptions o;
    o.url = "mqtt://127.0.0.1";
    o.publishFile = "/dev/null";
    std::string error;
    ASSERT_TRUE(mqtt::CompleteMqttOptions(o, "tcp:10.0.0.5:4001", error)) << error;
    EXPECT_EQ(o.prefix, "fa/10.0.0.5_4001");
}

}  // namespace
}  // namespace qel::gateway
