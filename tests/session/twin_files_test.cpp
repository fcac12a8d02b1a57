// The files of a line's twin, byte for byte: fasim's configuration with the
// line settings, models and turnarounds, a station that fell silent named
// in it; the memory file in gate-address numbering; and the writing of a
// file that is whole or absent.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "session/twin/snapshot_reader.h"
#include "session/twin/twin_files.h"
#include "session/twin/whole_file.h"

namespace {

using namespace qel::session;
namespace fs = std::filesystem;

LineTwin TwoStations() {
    LineTwin twin;
    twin.stations.push_back({1, "FA2", 12, {}});
    twin.stations.push_back({2, "FA3", std::nullopt, {{AREA_DR, 900}, {AREA_IO, 96}}});
    twin.values[{1, AREA_TM, 5}] = 4660;
    twin.values[{1, AREA_IO, 127}] = 1;   // IO 157
    twin.values[{1, AREA_IR, 1760}] = 0;  // IR 2200
    twin.values[{2, AREA_DR, 0}] = 65535;
    twin.values[{2, AREA_IR, 3512}] = 1;  // IM 640
    twin.values[{2, AREA_IR, 320}] = 1;   // IR 400
    twin.values[{2, AREA_SR, 9}] = 1;
    return twin;
}

std::string Slurp(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(TwinFiles, ConfigurationNamesTheLineTheStationsAndWhatWasNotRead) {
    LineOptions line;
    line.baud = 19200;
    line.parity = "odd";
    line.stopBits = "2";
    EXPECT_EQ(FasimConfigText(TwoStations(), line, "a test line"),
              "# A line's twin: a test line\n"
              "# fasim --config fasim.conf --link PATH plays it.\n"
              "baud 19200\n"
              "data-bits 8\n"
              "parity O\n"
              "stop-bits 2\n"
              "station 1:FA2\n"
              "station-turnaround 1:12\n"
              "station 2:FA3\n"
              "# station 2 did not answer every read; not in memory.txt: DR (900 elements), IO (96 elements)\n"
              "memory memory.txt\n");
}

TEST(TwinFiles, OneAndAHalfStopBitsArePlayedWithTwoAndSaidSo) {
    LineTwin twin;
    twin.stations.push_back({7, "FA3", 0, {}});
    LineOptions line;
    line.parity = "none";
    line.stopBits = "1.5";
    EXPECT_EQ(FasimConfigText(twin, line, "x"),
              "# A line's twin: x\n"
              "# fasim --config fasim.conf --link PATH plays it.\n"
              "baud 9600\n"
              "data-bits 8\n"
              "parity N\n"
              "# the line has 1.5 stop bits\n"
              "stop-bits 2\n"
              "station 7:FA3\n"
              "station-turnaround 7:0\n"
              "memory memory.txt\n");
}

TEST(TwinFiles, MemoryFileWritesEachValueAsAGateAddressNumbersIt) {
    EXPECT_EQ(MemoryFileText(TwoStations()),
              "# station area number value\n"
              "1 TM 5 4660\n"
              "1 IO 157 1\n"
              "1 IR 2200 0\n"
              "2 DR 0 65535\n"
              "2 IR 400 1\n"
              "2 IM 640 1\n"
              "2 SR 9 1\n");
    EXPECT_EQ(MemoryFileText(LineTwin{}), "# station area number value\n");
}

TEST(TwinFiles, ParityLetters) {
    const std::pair<const char*, char> cases[] = {
        {"none", 'N'}, {"odd", 'O'}, {"even", 'E'}, {"mark", 'M'}, {"space", 'S'}, {"EVEN", '?'}, {"", '?'}};
    for (const auto& [word, letter] : cases) EXPECT_EQ(FasimParity(word), letter) << word;
}

TEST(TwinFiles, CompleteOnlyWhenNoStationMissesAnArea) {
    LineTwin twin = TwoStations();
    EXPECT_FALSE(twin.complete());
    twin.stations[1].missing.clear();
    EXPECT_TRUE(twin.complete());
}

TEST(SnapshotTurnaround, TheMedianOfTheExtraTimeInWholeMilliseconds) {
    struct Case {
        std::vector<double> extras;
        std::optional<int> expected;
    };
    const Case cases[] = {
        {{}, std::nullopt},
        {{12.4}, 12},
        {{-3.0, -1.0}, 0},                  // a line faster than predicted: no negative turnaround
        {{28.0, 8.4, 28.5, 240.0, 27.6}, 28},  // one misjudged kind and one late answer do not sway it
        {{5.5, 5.6, 5.4}, 6},
    };
    for (const Case& c : cases) EXPECT_EQ(TurnaroundFrom(c.extras), c.expected) << c.extras.size();
}

class WholeFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("twin-files-" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(WholeFile, WritesTheTextAndLeavesNoTemporaryFile) {
    const fs::path path = dir_ / "memory.txt";
    std::string error;
    ASSERT_TRUE(WriteWholeFile(path.string(), "1 DR 0 5\n", error)) << error;
    ASSERT_TRUE(WriteWholeFile(path.string(), "1 DR 0 6\n", error)) << error;
    EXPECT_EQ(Slurp(path), "1 DR 0 6\n");
    EXPECT_FALSE(fs::exists(dir_ / "memory.txt.partial"));
}

TEST_F(WholeFile, ADiskThatRunsFullLeavesTheOldFileAndNoHalfOne) {
    const fs::path path = dir_ / "memory.txt";
    std::string error;
    ASSERT_TRUE(WriteWholeFile(path.string(), "old\n", error)) << error;
    // The temporary name leads to a device that is always full.
    fs::create_symlink("/dev/full", dir_ / "memory.txt.partial");
    EXPECT_FALSE(WriteWholeFile(path.string(), std::string(100000, 'x'), error));
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
    EXPECT_EQ(Slurp(path), "old\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "memory.txt.partial")));
}

TEST_F(WholeFile, AFolderThatIsNotThereIsAnErrorNamingTheFile) {
    std::string error;
    EXPECT_FALSE(WriteWholeFile((dir_ / "absent" / "fasim.conf").string(), "x", error));
    EXPECT_NE(error.find("fasim.conf.partial"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir_ / "absent"));
}

}  // namespace
