// qelhost scan against the simulator: two FA-2s, an FA-3 and a silent
// station; the model file it writes serves a read at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "fasim.h"
#include "run_program.h"
#include "support/pty_pair.h"

namespace {

namespace fs = std::filesystem;

TEST(QelhostScan, FindsTheStationsAndWritesAModelFileThatReadUses) {
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}, {2, fasim::Model::FA3}, {5, fasim::Model::FA2}, {9, fasim::Model::FA2}};
    options.line.paced = false;
    fasim::Simulator sim(options);
    const std::string link = testsupport::ShortLinkPath();
    std::string error;
    ASSERT_TRUE(sim.StartPty(link, &error)) << error;
    sim.SetSilent(9, true);
    ASSERT_TRUE(sim.Set(2, "DR", 400, 0xBEEF));
    const fs::path dir = fs::temp_directory_path() / ("qelhost-scan-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string models = (dir / "found.int").string();

    const hosttest::Outcome scan = hosttest::Run(
        QELHOST_PATH, {"scan", "--port", link, "--stations", "1,2,3,5,9", "--format", "json", "--write-models", models},
        dir.string(), 120);
    ASSERT_EQ(scan.exitCode, 0) << scan.out << scan.err;
    const auto found = nlohmann::json::parse(scan.out);
    const nlohmann::json expected = {{{"station", 1}, {"model", "FA2"}},
                                     {{"station", 2}, {"model", "FA3"}},
                                     {{"station", 5}, {"model", "FA2"}}};
    ASSERT_EQ(found.size(), expected.size()) << scan.out;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(found[i]["station"], expected[i]["station"]) << scan.out;
        EXPECT_EQ(found[i]["model"], expected[i]["model"]) << scan.out;
    }
    // Not a terminal: one line per station found, then the summary.
    for (const char* line : {"station 1: FA2\n", "station 2: FA3\n", "station 5: FA2\n", "scanned 5 of 5 stations",
                             "3 answer, 2 FA2, 1 FA3", "wrote 3 stations to "}) {
        EXPECT_NE(scan.err.find(line), std::string::npos) << line << "\n" << scan.err;
    }
    std::ifstream file(models);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "001FA2\n002FA3\n005FA2\n");

    const hosttest::Outcome read =
        hosttest::Run(QELHOST_PATH, {"read", "002DR0400", "--port", link, "--models", models}, dir.string());
    EXPECT_EQ(read.exitCode, 0) << read.err;
    EXPECT_NE(read.out.find("48879  0xBEEF"), std::string::npos) << read.out;
    EXPECT_TRUE(read.err.empty()) << read.err;

    const hosttest::Outcome csv =
        hosttest::Run(QELHOST_PATH, {"scan", "--port", link, "--stations", "2", "--format", "csv"}, dir.string());
    EXPECT_EQ(csv.exitCode, 0) << csv.err;
    EXPECT_EQ(csv.out, "station,model\n2,FA3\n");
    fs::remove_all(dir);
}

TEST(QelhostScan, NoStationAnsweringIsALineFailure) {
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}};
    options.line.paced = false;
    fasim::Simulator sim(options);
    const std::string link = testsupport::ShortLinkPath();
    ASSERT_TRUE(sim.StartPty(link));
    const hosttest::Outcome r = hosttest::Run(QELHOST_PATH, {"scan", "--port", link, "--stations", "7"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("no station answered"), std::string::npos) << r.err;
    const hosttest::Outcome bad = hosttest::Run(QELHOST_PATH, {"scan", "--port", link, "--stations", "9-3"});
    EXPECT_EQ(bad.exitCode, 64) << bad.err;
    EXPECT_NE(bad.err.find("0-255 or 1,2,10-20"), std::string::npos) << bad.err;
}

}  // namespace
