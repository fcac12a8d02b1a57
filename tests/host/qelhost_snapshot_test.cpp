// qelhost snapshot against the simulator: a line of three stations with a
// different value in every element is snapshot, played by the fasim program
// from the snapshot's folder alone, and snapshot again: nothing differs. A
// station lost half-way is named with its missing areas, which the memory
// file leaves out rather than filling with zeros; a folder that exists, one
// that cannot be made and a disk that runs full are refused with no file
// that looks whole.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "fasim.h"
#include "run_program.h"
#include "support/pty_pair.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

using Value = std::tuple<int, std::string, unsigned, unsigned>;  // station, area, number, value

struct Range {
    const char* area;
    unsigned first, last;
    bool bits;             // values 0 or 1
    bool byteAndBit = bits;  // numbered by byte and bit: the last digit 0-7
};

// Every legal address of a model as a gate address writes it.
std::vector<Range> RangesOf(fasim::Model model) {
    if (model == fasim::Model::FA2)
        return {{"TM", 0, 79, false},    {"CT", 0, 46, false},     {"DR", 0, 399, false},
                {"CP", 0, 46, false},    {"TP", 0, 79, false},     {"SR", 0, 127, true, false},
                {"IO", 0, 157, true},    {"IO", 200, 357, true},   {"IR", 400, 697, true},
                {"IR", 2200, 2357, true}, {"IR", 2400, 2697, true}};
    return {{"TM", 0, 255, false},    {"CT", 0, 46, false},     {"CT", 48, 102, false},   {"DR", 0, 999, false},
            {"CP", 0, 46, false},     {"CP", 48, 102, false},   {"TP", 0, 255, false},    {"SR", 0, 223, true, false},
            {"IO", 0, 157, true},     {"IO", 200, 357, true},   {"IO", 2000, 2157, true}, {"IO", 2200, 2357, true},
            {"IR", 400, 697, true},   {"IR", 2400, 2697, true}, {"IM", 640, 1317, true}};
}

// A value for each element, different from its neighbours' and from the
// same element's on the other stations.
std::set<Value> Fill(const std::map<int, fasim::Model>& stations) {
    std::set<Value> values;
    for (const auto& [station, model] : stations) {
        unsigned index = 0;
        for (const Range& range : RangesOf(model)) {
            for (unsigned n = range.first; n <= range.last; ++n) {
                if (range.byteAndBit && n % 10 > 7) continue;
                ++index;
                const unsigned word = (static_cast<unsigned>(station) * 40503u + index * 257u + n) & 0xFFFFu;
                const unsigned value = range.bits ? (index * 7 + static_cast<unsigned>(station)) % 3 == 0 : word;
                values.insert({station, range.area, n, value});
            }
        }
    }
    return values;
}

std::set<Value> ReadMemory(const fs::path& path) {
    std::set<Value> values;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        int station = 0;
        std::string area;
        unsigned number = 0, value = 0;
        words >> station >> area >> number >> value;
        values.insert({station, area, number, value});
    }
    return values;
}

std::string Slurp(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class Snapshot : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("qelhost-snapshot-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (getenv("QELHOST_TEST_KEEP") == nullptr) fs::remove_all(dir_);
    }

    // The fasim program in the background, until the test ends.
    pid_t StartFasim(const std::vector<std::string>& arguments, const std::string& link) {
        std::vector<std::string> args = arguments;
        args.insert(args.begin(), FASIM_PATH);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        if (posix_spawn(&pid, FASIM_PATH, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; i < 100 && pid > 0 && !fs::exists(link); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return pid;
    }
    static void StopFasim(pid_t pid) {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
    }

    // A simulator on a fresh link (link_), until the test ends.
    fasim::Simulator& StartLine(const fasim::Options& options) {
        sim_ = std::make_unique<fasim::Simulator>(options);
        link_ = testsupport::ShortLinkPath();
        started_ = sim_->StartPty(link_);
        return *sim_;
    }
    // Unpaced, of these stations.
    fasim::Simulator& Unpaced(decltype(fasim::Options::stations) stations) {
        fasim::Options options;
        options.stations = std::move(stations);
        options.line.paced = false;
        return StartLine(options);
    }

    fs::path dir_;
    std::unique_ptr<fasim::Simulator> sim_;
    std::string link_;
    bool started_ = false;
};

TEST_F(Snapshot, ALinePlayedFromItsSnapshotReadsTheSameInEveryElement) {
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}, {2, fasim::Model::FA3}, {3, fasim::Model::FA3}};
    options.line.paced = false;
    const std::set<Value> filled = Fill(options.stations);
    {
        std::ofstream memory(dir_ / "source.txt");
        for (const auto& [station, area, number, value] : filled)
            memory << station << " " << area << " " << number << " " << value << "\n";
    }
    options.memoryFile = (dir_ / "source.txt").string();
    fasim::Simulator source(options);
    const std::string link = testsupport::ShortLinkPath();
    std::string error;
    ASSERT_TRUE(source.StartPty(link, &error)) << error;
    ASSERT_EQ(source.Get(2, "IM", 1317), std::optional<std::uint16_t>(static_cast<std::uint16_t>(
                                             std::get<3>(*filled.find({2, "IM", 1317, 0})) )))
        << "the source holds its filled values";

    // Station 4 is listed but absent: said, and left out.
    const hosttest::Outcome first = hosttest::Run(
        QELHOST_PATH, {"snapshot", "--port", link, "--stations", "1-4", "--out", "first"}, dir_.string(), 120);
    ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
    EXPECT_NE(first.err.find("station 4 does not answer"), std::string::npos) << first.err;
    EXPECT_NE(first.err.find("read " + std::to_string(filled.size()) + " values"), std::string::npos) << first.err;
    EXPECT_EQ(first.err.find('\r'), std::string::npos) << "no progress bar when stderr is no terminal";
    const std::set<Value> snapped = ReadMemory(dir_ / "first" / "memory.txt");
    EXPECT_EQ(snapped.size(), filled.size());
    // What a host reads: the driver clears bits 14 and 15 of TM and CT values.
    std::set<Value> read;
    for (auto [station, area, number, value] : filled)
        read.insert({station, area, number, area == "TM" || area == "CT" ? value & 0x3FFFu : value});
    std::vector<Value> differ;
    std::set_symmetric_difference(snapped.begin(), snapped.end(), read.begin(), read.end(),
                                  std::back_inserter(differ));
    EXPECT_TRUE(differ.empty()) << differ.size() << " differ, e.g. station " << std::get<0>(differ.front()) << " "
                                << std::get<1>(differ.front()) << " " << std::get<2>(differ.front());
    const std::string config = Slurp(dir_ / "first" / "fasim.conf");
    for (const char* line : {"\nbaud 9600\n", "\nparity E\n", "\nstation 1:FA2\n", "\nstation 2:FA3\n",
                             "\nstation 3:FA3\n", "\nstation-turnaround 3:", "\nmemory memory.txt\n"})
        EXPECT_NE(config.find(line), std::string::npos) << line << config;
    EXPECT_EQ(config.find("station 4"), std::string::npos) << config;
    EXPECT_EQ(Slurp(dir_ / "first" / "models.int"), "001FA2\n002FA3\n003FA3\n");

    // The folder alone plays the line, fasim started elsewhere; then the same reads of the twin.
    const std::string twinLink = testsupport::ShortLinkPath();
    const pid_t twin = StartFasim({"--config", (dir_ / "first" / "fasim.conf").string(), "--link", twinLink,
                                   "--unpaced"},
                                  twinLink);
    ASSERT_GT(twin, 0);
    const hosttest::Outcome second = hosttest::Run(
        QELHOST_PATH, {"snapshot", "--port", twinLink, "--stations", "1-3", "--out", "second"}, dir_.string(), 120);
    StopFasim(twin);
    ASSERT_EQ(second.exitCode, 0) << second.out << second.err;
    EXPECT_EQ(Slurp(dir_ / "second" / "memory.txt"), Slurp(dir_ / "first" / "memory.txt"));
}

TEST_F(Snapshot, AStationLostHalfWayIsNamedAndItsMissingElementsAreAbsent) {
    fasim::Simulator& sim = Unpaced({{1, fasim::Model::FA3}, {2, fasim::Model::FA3}});
    const std::string& link = link_;
    ASSERT_TRUE(started_);
    for (unsigned n = 0; n < 1000; ++n) ASSERT_TRUE(sim.Set(2, "DR", n, static_cast<std::uint16_t>(n + 1)));
    ASSERT_TRUE(sim.Set(2, "TM", 7, 77));
    // Station 2 falls silent after its first few reads (TM comes first, DR later).
    std::atomic<bool> done{false};
    std::thread silencer([&] {
        while (!done.load()) {
            int frames = 0;
            for (const fasim::TraceRecord& record : sim.Trace())
                frames += record.fromMaster && record.station == 2 && !record.bytes.empty() && record.bytes[0] != '`';
            if (frames >= 8) {  // past the probe's two reads and a few of the snapshot's
                sim.SetSilent(2, true);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    fs::create_directories(dir_ / "out");  // an existing folder, written over with --force
    const auto start = std::chrono::steady_clock::now();
    const hosttest::Outcome r = hosttest::Run(
        QELHOST_PATH, {"snapshot", "--port", link, "--stations", "1,2", "--out", "out", "--force"}, dir_.string(), 120);
    const auto took = std::chrono::steady_clock::now() - start;
    done.store(true);
    silencer.join();
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("station 2 fell silent during the snapshot: "), std::string::npos) << r.err;
    // "...: DR (900), CP (102), ... not read": how many of each area.
    std::map<std::string, std::size_t> missing;
    std::size_t missingAll = 0;
    {
        const auto from = r.err.find("fell silent during the snapshot: ");
        const std::string list = from == std::string::npos ? "" : r.err.substr(from + 33, r.err.find(" not read", from) - from - 33);
        std::istringstream words(list);
        std::string area, count;
        while (words >> area >> count) {
            missing[area] = std::stoul(count.substr(1));
            missingAll += missing[area];
        }
    }
    EXPECT_TRUE(missing.count("SR")) << r.err << "the last area is not read";
    EXPECT_NE(r.err.find("the snapshot is incomplete"), std::string::npos) << r.err;
    EXPECT_LT(took, std::chrono::seconds(60)) << "a silent station costs its first failures, not a wait per read";
    const std::set<Value> snapped = ReadMemory(dir_ / "out" / "memory.txt");
    std::size_t first = 0, second = 0, dr = 0;
    for (const auto& [station, area, number, value] : snapped) {
        (station == 1 ? first : second) += 1;
        if (station == 2) {
            dr += area == "DR";
            // A value read, never a zero in place of one not read (DR holds no zero).
            EXPECT_EQ(sim.Get(2, area, number), std::optional<std::uint16_t>(static_cast<std::uint16_t>(value)))
                << area << " " << number;
        }
    }
    EXPECT_EQ(first, 3476u);
    EXPECT_EQ(second + missingAll, 3476u) << r.err;
    EXPECT_EQ(dr + missing["DR"], 1000u) << r.err;
    EXPECT_NE(Slurp(dir_ / "out" / "fasim.conf").find("# station 2 did not answer every read; not in memory.txt: "),
              std::string::npos);
}

TEST_F(Snapshot, AStationNamedButNeverAnsweringIsSaidSoAndNothingOfItWritten) {
    Unpaced({{1, fasim::Model::FA3}});
    const std::string& link = link_;
    ASSERT_TRUE(started_);
    const auto start = std::chrono::steady_clock::now();
    const hosttest::Outcome r = hosttest::Run(
        QELHOST_PATH, {"snapshot", "--port", link, "--stations", "1,3", "--station", "3:FA3", "--out", "named"},
        dir_.string(), 120);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("station 3 did not answer the snapshot's reads: TM (256), CT (102), DR (1000)"),
              std::string::npos)
        << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    std::size_t first = 0;
    for (const auto& [station, area, number, value] : ReadMemory(dir_ / "named" / "memory.txt")) {
        EXPECT_EQ(station, 1) << area << " " << number;
        first += station == 1;
    }
    EXPECT_EQ(first, 3476u);
    EXPECT_EQ(Slurp(dir_ / "named" / "models.int"), "001FA3\n003FA3\n");
}

TEST_F(Snapshot, AFolderThatExistsCannotBeMadeOrRunsFullIsRefused) {
    fasim::Simulator& sim = Unpaced({{1, fasim::Model::FA3}});
    const std::string& link = link_;
    ASSERT_TRUE(started_);

    fs::create_directories(dir_ / "kept");
    std::ofstream(dir_ / "kept" / "fasim.conf") << "station 9:FA2\n";
    const hosttest::Outcome exists = hosttest::Run(
        QELHOST_PATH, {"snapshot", "--port", link, "--stations", "1", "--out", "kept"}, dir_.string(), 60);
    EXPECT_EQ(exists.exitCode, 64) << exists.err;
    EXPECT_NE(exists.err.find("kept exists; give --force"), std::string::npos) << exists.err;
    EXPECT_EQ(Slurp(dir_ / "kept" / "fasim.conf"), "station 9:FA2\n");
    EXPECT_TRUE(sim.Trace().empty()) << "refused before the line is used";

    struct Bad {
        std::string out;
        const char* says;
    };
    std::ofstream(dir_ / "plain") << "x";
    const Bad bads[] = {{"/proc/qelhost-snapshot", "cannot make the folder /proc/qelhost-snapshot"},
                        {(dir_ / "plain" / "sub").string(), "cannot make the folder"},
                        {(dir_ / "plain").string(), "is not a folder"}};
    for (const Bad& bad : bads) {
        const hosttest::Outcome r = hosttest::Run(
            QELHOST_PATH, {"snapshot", "--port", link, "--stations", "1", "--out", bad.out, "--force"}, "", 60);
        EXPECT_EQ(r.exitCode, 64) << bad.out << r.err;
        EXPECT_NE(r.err.find(bad.says), std::string::npos) << r.err;
    }

    // The disk runs full while the memory file is written: no file under
    // either name, no half file left.
    fs::create_directories(dir_ / "full");
    fs::create_symlink("/dev/full", dir_ / "full" / "memory.txt.partial");
    const hosttest::Outcome full = hosttest::Run(
        QELHOST_PATH, {"snapshot", "--port", link, "--stations", "1", "--out", "full", "--force"}, dir_.string(), 60);
    EXPECT_EQ(full.exitCode, 64) << full.err;
    EXPECT_NE(full.err.find("No space left on device; the snapshot is not written"), std::string::npos) << full.err;
    EXPECT_FALSE(fs::exists(dir_ / "full" / "memory.txt"));
    EXPECT_FALSE(fs::exists(dir_ / "full" / "fasim.conf"));
    EXPECT_FALSE(fs::exists(dir_ / "full" / "models.int"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "full" / "memory.txt.partial")));
}

TEST_F(Snapshot, TurnaroundsAreMeasuredAndTheTimeKeepsToThePrediction) {
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA3}, {2, fasim::Model::FA3}};
    options.line.baud = 38400;
    options.stationTurnaroundMs = {{2, 40}};
    StartLine(options);
    const std::string& link = link_;
    ASSERT_TRUE(started_);
    const hosttest::Outcome r = hosttest::Run(
        QELHOST_PATH, {"snapshot", "--port", link, "--baud", "38400", "--stations", "1,2", "--out", "timed"},
        dir_.string(), 120);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string config = Slurp(dir_ / "timed" / "fasim.conf");
    EXPECT_NE(config.find("\nbaud 38400\n"), std::string::npos) << config;
    const auto turnaround = [&config](int station) {
        const std::string key = "station-turnaround " + std::to_string(station) + ":";
        const auto at = config.find(key);
        return at == std::string::npos ? -1 : std::stoi(config.substr(at + key.size()));
    };
    EXPECT_LE(turnaround(1), 10) << config;
    EXPECT_GE(turnaround(2), 30) << config;
    EXPECT_LE(turnaround(2), 55) << config;
    // "read N values in 86 exchanges in T s (predicted P s)": the line's time,
    // plus station 2's turnaround on each of its exchanges, within a
    // generous bound for a loaded machine.
    const auto in = r.err.find(" exchanges in ");
    const auto predicted = r.err.find("(predicted ");
    ASSERT_NE(in, std::string::npos) << r.err;
    ASSERT_NE(predicted, std::string::npos) << r.err;
    const double took = std::stod(r.err.substr(in + 14));
    const double expected = std::stod(r.err.substr(predicted + 11));
    const double exchanges = std::stod(r.err.substr(r.err.rfind(' ', in - 1) + 1));
    EXPECT_LT(took, 2.0 * (expected + exchanges / 2 * 0.040) + 1.0) << r.err;
}

}  // namespace
