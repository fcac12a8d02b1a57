// A Gateway in this process on fasim: started, read, reloaded and stopped
// while a Modbus client works; a stop and a reload that reopens the line
// each let the write under way end whole; a reload whose files are bad
// changes nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "gateway_rig.h"
#include "support/free_port.h"

namespace {

using namespace std::chrono_literals;
using gatewaytest::GatewayRig;
using gatewaytest::ModbusClient;
using qel::gateway::ReloadResult;
using qel::session::OpenResult;

// 60 values at 9600 baud, paced: about two seconds of line time.
constexpr int kValues = 60;
constexpr int kFirst = 100;

std::vector<std::uint16_t> Values(std::uint16_t base) {
    std::vector<std::uint16_t> values;
    for (int i = 0; i < kValues; ++i) values.push_back(static_cast<std::uint16_t>(base + i));
    return values;
}

// How many of the values the simulator holds at DR kFirst... .
int Written(fasim::Simulator& sim, const std::vector<std::uint16_t>& values) {
    int written = 0;
    for (int i = 0; i < kValues; ++i)
        if (sim.Get(1, "DR", static_cast<unsigned>(kFirst + i)) == values[static_cast<std::size_t>(i)]) ++written;
    return written;
}

TEST(Gateway, StartsServesReloadsAndStops) {
    GatewayRig rig(false);
    rig.WriteConfig("allow-writes = true\n");
    rig.Sim().Set(1, "DR", 10, 1234);
    std::string error;
    ASSERT_EQ(rig.Start(error), OpenResult::Ready) << error;
    ModbusClient client(rig.ModbusPort(), 1);
    ASSERT_TRUE(client.Connected());
    std::vector<std::uint16_t> values;
    ASSERT_EQ(client.Read(10, 1, values), 1);
    EXPECT_EQ(values, std::vector<std::uint16_t>{1234});

    rig.WriteConfig("allow-writes = true\nmax-clients = 4\n");
    const auto changed = rig.Gate().Reload();
    EXPECT_EQ(changed.result, ReloadResult::Applied) << changed.text;
    EXPECT_EQ(changed.text, "max-clients 8 -> 4");
    const auto same = rig.Gate().Reload();
    EXPECT_EQ(same.result, ReloadResult::Applied) << same.text;
    EXPECT_EQ(same.text, "nothing changed");
    // A change that takes a restart: refused, naming it.
    rig.WriteConfig("allow-writes = true\nmax-clients = 4\n", testsupport::FreeLoopbackPort());
    const auto restart = rig.Gate().Reload();
    EXPECT_EQ(restart.result, ReloadResult::Refused);
    EXPECT_NE(restart.text.find("changing listen takes a restart"), std::string::npos) << restart.text;
    // The client kept its connection throughout.
    ASSERT_EQ(client.Write(10, {4321}), 1);
    EXPECT_EQ(rig.Sim().Get(1, "DR", 10), 4321);

    EXPECT_TRUE(rig.Gate().Stop());
    EXPECT_EQ(client.Read(10, 1, values), -1) << "nothing is served after the stop";
}

TEST(Gateway, AStopFinishesTheWriteUnderWay) {
    GatewayRig rig(true);
    rig.WriteConfig("allow-writes = true\n");
    std::string error;
    ASSERT_EQ(rig.Start(error), OpenResult::Ready) << error;
    ModbusClient client(rig.ModbusPort(), 1);
    ASSERT_TRUE(client.Connected());
    const std::vector<std::uint16_t> values = Values(500);
    auto write = std::async(std::launch::async, [&] { return client.Write(kFirst, values); });
    std::this_thread::sleep_for(500ms);
    ASSERT_LT(Written(rig.Sim(), values), kValues) << "the write is under way when the stop comes";
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_TRUE(rig.Gate().Stop()) << "nothing was cut off";
    EXPECT_LT(std::chrono::steady_clock::now() - asked, qel::gateway::kFinishBegun + 1s);
    EXPECT_EQ(write.get(), kValues) << "answered, all of it";
    EXPECT_EQ(Written(rig.Sim(), values), kValues);
}

TEST(Gateway, AReloadThatReopensTheLineFinishesTheWriteUnderWay) {
    GatewayRig rig(true);
    rig.WriteConfig("allow-writes = true\n");
    std::string error;
    ASSERT_EQ(rig.Start(error), OpenResult::Ready) << error;
    ModbusClient client(rig.ModbusPort(), 1);
    ModbusClient other(rig.ModbusPort(), 1);
    ASSERT_TRUE(client.Connected() && other.Connected());
    const std::vector<std::uint16_t> values = Values(700);
    auto write = std::async(std::launch::async, [&] { return client.Write(kFirst, values); });
    std::this_thread::sleep_for(500ms);
    const int before = Written(rig.Sim(), values);
    ASSERT_GT(before, 0);
    ASSERT_LT(before, kValues) << "the write is under way when the reload comes";
    // A read that waits behind the write is served on the new settings.
    rig.Sim().Set(1, "DR", 10, 77);
    auto read = std::async(std::launch::async, [&] {
        std::vector<std::uint16_t> got;
        return other.Read(10, 1, got) == 1 ? got.front() : -1;
    });
    rig.WriteConfig("allow-writes = true\nbaud = 19200\n");
    const auto reloaded = rig.Gate().Reload();
    EXPECT_EQ(reloaded.result, ReloadResult::Applied) << reloaded.text;
    EXPECT_EQ(reloaded.text, "baud 9600 -> 19200");
    EXPECT_EQ(write.get(), kValues) << "the write ended whole, not cut off by the reopen";
    EXPECT_EQ(Written(rig.Sim(), values), kValues);
    EXPECT_EQ(read.get(), 77) << "the request waiting at the reopen is served after it";
    std::vector<std::uint16_t> got;
    EXPECT_EQ(client.Read(kFirst, 2, got), 2);
    EXPECT_EQ(got, (std::vector<std::uint16_t>{700, 701}));
    EXPECT_TRUE(rig.Gate().Stop());
}

// A reload whose configuration names a bad file (or is bad itself) is
// refused naming it, and nothing of the new configuration is applied: not
// the new allow-list that came with it, not the new limits.
struct BadFile {
    const char* name;
    const char* file;  // written bad before the reload ("" for none)
    const char* text;
    const char* said;  // in the refusal
};

class ReloadWithABadFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(ReloadWithABadFile, LeavesTheServiceUntouched) {
    const BadFile& bad = GetParam();
    GatewayRig rig(false);
    const std::string allow = rig.WriteFile("allow.txt", "001DR0010\n");
    const std::string widerAllow = rig.WriteFile("allow2.txt", "001DR0010\n001DR0011\n");
    const std::string token = rig.WriteFile("token", "0123456789abcdef0123\n");
    const std::string poll = rig.WriteFile("poll.txt", "001DR0020 1s\n");
    const std::string http = "http = \"127.0.0.1:" + std::to_string(testsupport::FreeLoopbackPort()) +
                             "\"\nhttp-writes = true\nhttp-token-file = \"" + token + "\"\npoll = \"" + poll +
                             "\"\nallow-writes = true\n";
    rig.WriteConfig(http + "write-allow = \"" + allow + "\"\n");
    std::string error;
    ASSERT_EQ(rig.Start(error), OpenResult::Ready) << error;
    ModbusClient client(rig.ModbusPort(), 1);
    ASSERT_TRUE(client.Connected());
    ASSERT_EQ(client.Write(11, {5}), -1) << "DR0011 is not in the allow-list";

    // The new configuration: the wider list and a lower client limit, and the bad file.
    rig.WriteConfig(http + "write-allow = \"" + widerAllow + "\"\nmax-clients = 1\n" +
                    (std::string(bad.file) == "line1.toml" ? bad.text : ""));
    if (std::string(bad.file) != "line1.toml") rig.WriteFile(bad.file, bad.text);
    const auto outcome = rig.Gate().Reload();
    EXPECT_EQ(outcome.result, ReloadResult::Refused) << bad.name;
    EXPECT_NE(outcome.text.find(bad.said), std::string::npos) << outcome.text;
    EXPECT_EQ(client.Write(11, {5}), -1) << "the old allow-list still holds";
    EXPECT_EQ(client.Write(10, {6}), 1);
    // With the new limit of one client the second would evict the first.
    ModbusClient second(rig.ModbusPort(), 1);
    std::vector<std::uint16_t> values;
    EXPECT_EQ(second.Read(10, 1, values), 1);
    EXPECT_EQ(values, std::vector<std::uint16_t>{6});
    EXPECT_EQ(client.Read(10, 1, values), 1) << "the old client limit still holds";
    EXPECT_TRUE(rig.Gate().Stop());
}

INSTANTIATE_TEST_SUITE_P(
    Gateway, ReloadWithABadFile,
    ::testing::Values(BadFile{"AllowList", "allow2.txt", "001DR0010\n001XY0011\n", "allow2.txt:2"},
                      BadFile{"PollList", "poll.txt", "001DR0020 1s\n001DR0021 soon\n", "poll.txt"},
                      BadFile{"TokenFile", "token", "short\n", "token"},
                      BadFile{"ConfigFile", "line1.toml", "stats-interval = \"often\"\n", "line1.toml"}),
    [](const ::testing::TestParamInfo<BadFile>& param) { return std::string(param.param.name); });

}  // namespace

namespace {

// Relative paths: the configuration named from the working directory at the
// start, the lists named in it from its folder; a reload after the working
// directory moved reads the same files.
TEST(Gateway, AReloadReadsTheSameFilesWhereverTheWorkingDirectoryWent) {
    GatewayRig rig(false);
    rig.WriteFile("allow.txt", "001DR0010\n");
    rig.WriteFile("poll.txt", "001DR0020 1s\n");
    rig.WriteConfig("allow-writes = true\nwrite-allow = \"allow.txt\"\npoll = \"poll.txt\"\n");
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(rig.Folder());
    std::string error;
    const OpenResult started = rig.Start({"--config", "line1.toml"}, error);
    std::filesystem::current_path("/");
    ASSERT_EQ(started, OpenResult::Ready) << error;
    ModbusClient client(rig.ModbusPort(), 1);
    ASSERT_EQ(client.Write(10, {3}), 1);
    ASSERT_EQ(client.Write(11, {3}), -1);

    rig.WriteFile("allow.txt", "001DR0010\n001DR0011\n");
    const auto reloaded = rig.Gate().Reload();
    EXPECT_EQ(reloaded.result, ReloadResult::Applied) << reloaded.text;
    EXPECT_EQ(client.Write(11, {3}), 1) << "the allow-list beside the file was read again";
    EXPECT_TRUE(rig.Gate().Stop());
    std::filesystem::current_path(before);
}

}  // namespace
