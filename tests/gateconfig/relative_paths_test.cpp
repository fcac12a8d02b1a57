// Every path-valued option taken as an admin writes it: relative in the
// configuration file, from that file's folder; relative on the command line,
// from the working directory at the start (AbsoluteCommandLine), whatever
// the working directory is when the options are read again at a reload.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "gateway/config_file.h"

namespace qel::gateway {
namespace {

namespace fs = std::filesystem;

struct PathKey {
    const char* key;
    const char* name;  // the file (or folder) it names, made beside
    std::function<const std::string&(const Options&)> field;
};

const std::vector<PathKey>& PathKeys() {
    static const std::vector<PathKey> keys = {
        {"models", "davEV01.int", [](const Options& o) -> const std::string& { return o.session.modelsFile; }},
        {"publish", "publish.txt", [](const Options& o) -> const std::string& { return o.mqtt.publishFile; }},
        {"write-allow", "allow.txt", [](const Options& o) -> const std::string& { return o.writeAllowFile; }},
        {"poll", "poll.txt", [](const Options& o) -> const std::string& { return o.pollFile; }},
        {"record", "night.db", [](const Options& o) -> const std::string& { return o.recordFile; }},
        {"http-token-file", "token", [](const Options& o) -> const std::string& { return o.httpTokenFile; }},
        {"buffer", "buffer", [](const Options& o) -> const std::string& { return o.mqtt.buffer; }},
        {"mqtt-password-file", "password", [](const Options& o) -> const std::string& { return o.mqtt.passwordFile; }},
        {"mqtt-cafile", "ca.pem", [](const Options& o) -> const std::string& { return o.mqtt.cafile; }},
        {"mqtt-cert", "client.pem", [](const Options& o) -> const std::string& { return o.mqtt.cert; }},
        {"mqtt-key", "client.key", [](const Options& o) -> const std::string& { return o.mqtt.key; }},
        {"log", "driver.log", [](const Options& o) -> const std::string& { return o.session.logFile; }},
        {"driver", "libdriver.so", [](const Options& o) -> const std::string& { return o.session.driverPath; }},
    };
    return keys;
}

// A folder with `etc/` (the configuration and the files it names) and
// `run/` (the files the command line names), entered as the working
// directory; left and removed at the end.
class RelativePaths : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qelgate-paths-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = fs::path(pattern);
        previous_ = fs::current_path();
        for (const char* folder : {"etc", "run", "elsewhere"}) fs::create_directory(root_ / folder);
        for (const PathKey& key : PathKeys())
            for (const char* folder : {"etc", "run"}) {
                const fs::path path = root_ / folder / key.name;
                if (std::string(key.key) == "buffer") fs::create_directory(path);
                else std::ofstream(path) << "001DR0010\n";
            }
        fs::current_path(root_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        fs::remove_all(root_);
    }
    fs::path root_;
    fs::path previous_;
};

TEST_F(RelativePaths, InTheFileFromItsFolderOnTheCommandLineFromTheStart) {
    // Every key relative in the file, the file named relative on the command line.
    std::string text = "port = \"ttyUSB0\"\n";
    for (const PathKey& key : PathKeys()) text += std::string(key.key) + " = \"" + key.name + "\"\n";
    std::ofstream(root_ / "etc" / "line1.toml") << text;
    const std::vector<std::string> fromFile =
        AbsoluteCommandLine({"--config", "etc/line1.toml"}, fs::current_path().string());
    // Every key relative on the command line, both forms.
    std::vector<std::string> given = {"--port=ttyUSB0"};
    bool equals = true;
    for (const PathKey& key : PathKeys()) {
        if (equals) given.push_back("--" + std::string(key.key) + "=run/" + key.name);
        else given.insert(given.end(), {"--" + std::string(key.key), std::string("run/") + key.name});
        equals = !equals;
    }
    const std::vector<std::string> fromCommandLine = AbsoluteCommandLine(given, fs::current_path().string());

    // Read at the start, and again as a reload does after the session went
    // to a folder of its own.
    for (const char* when : {"at the start", "at a reload"}) {
        Options file, command;
        std::string error;
        ASSERT_TRUE(LoadOptions(fromFile, file, error)) << when << ": " << error;
        ASSERT_TRUE(LoadOptions(fromCommandLine, command, error)) << when << ": " << error;
        for (const PathKey& key : PathKeys()) {
            EXPECT_EQ(key.field(file), (root_ / "etc" / key.name).string()) << key.key << " in the file, " << when;
            EXPECT_EQ(key.field(command), (root_ / "run" / key.name).string())
                << key.key << " on the command line, " << when;
        }
        fs::current_path(root_ / "elsewhere");
    }
}

TEST_F(RelativePaths, AbsolutePathsAndOtherOptionsStayAsGiven) {
    const std::vector<std::string> given = {"--port", "ttyUSB0", "--poll", "/srv/poll.txt", "--http", "8080",
                                            "-v", "--poll=", "--write-allow"};
    EXPECT_EQ(AbsoluteCommandLine(given, "/start"), given);
    EXPECT_EQ(AbsoluteCommandLine({"--write-allow", "-v"}, "/start"),
              (std::vector<std::string>{"--write-allow", "-v"}))
        << "a missing value is left for the parser to name";
    EXPECT_EQ(AbsoluteCommandLine({"--log", "../x.log"}, "/start/here"),
              (std::vector<std::string>{"--log", "/start/x.log"}));
}

}  // namespace
}  // namespace qel::gateway
