// qelhost poll through the scan planner, end to end against the simulator:
// the plan, what goes on the line, failures, retries, Ctrl-C, --watch.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fasim.h"
#include "run_program.h"
#include "support/pty_pair.h"

namespace {

namespace fs = std::filesystem;
using hosttest::Outcome;

class PollScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        fasim::Options options;
        options.stations = {{1, fasim::Model::FA2}, {2, fasim::Model::FA3}};
        options.line.paced = false;
        sim_ = std::make_unique<fasim::Simulator>(options);
        link_ = testsupport::ShortLinkPath();
        std::string error;
        ASSERT_TRUE(sim_->StartPty(link_, &error)) << error;
        for (unsigned e = 0; e < 30; ++e) sim_->Set(1, "DR", e, static_cast<std::uint16_t>(1000 + e));
        for (unsigned e = 400; e < 410; ++e) sim_->Set(2, "DR", e, static_cast<std::uint16_t>(e * 3));
        sim_->Set(1, "IO", 5, 1);
        sim_->Set(2, "IO", 12, 1);
        dir_ = fs::temp_directory_path() / ("poll-scan-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        models_ = WriteFile("models.int", "002FA3\n");
        gates_ = WriteFile("gates.txt", "001DR0010\n002DR0400\n001DR0011\n001IO0005\n002IO0012\n001DR0012\n"
                                        "002DR0403\n001IO0003\n002IO0000 16\n");
    }
    void TearDown() override {
        sim_.reset();
        fs::remove_all(dir_);
    }

    Outcome Poll(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"poll", "--port", link_, "--interval", "0"});
        return hosttest::Run(QELHOST_PATH, arguments, dir_.string());
    }
    std::string WriteFile(const std::string& name, const std::string& text) {
        std::ofstream(dir_ / name) << text;
        return (dir_ / name).string();
    }
    std::size_t FramesSent() const {
        std::size_t frames = 0;
        for (const auto& record : sim_->Trace()) frames += record.fromMaster ? 1 : 0;
        return frames;
    }
    // The output without its time column.
    static std::string WithoutTime(const std::string& csv) {
        std::string out;
        std::istringstream in(csv);
        for (std::string line; std::getline(in, line);) out += line.substr(line.find(',') + 1) + "\n";
        return out;
    }

    std::unique_ptr<fasim::Simulator> sim_;
    std::string link_, models_, gates_;
    fs::path dir_;
};

TEST_F(PollScanTest, ThePlanIsPrintedAndNothingIsSent) {
    sim_->ClearTrace();
    const Outcome r = Poll({"--gates", gates_, "--models", models_, "--plan"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(FramesSent(), 0u);
    for (const char* line : {"001DR0010       3      31.5        54.4  001DR0010 001DR0011 001DR0012",
                             "001IO0000       8         -        34.9  001IO0003 001IO0005",
                             "scan: 4 exchanges, 2 station selections, 9 gates; predicted 265.5 ms per scan"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    }
}

TEST_F(PollScanTest, MergedAndUnmergedScansShowTheSameGates) {
    struct Row {
        std::vector<std::string> options;
        std::size_t frames;  // per round: selections and requests
        const char* scan;
    };
    const Row rows[] = {
        {{}, 2 + 4, "scan: 4 exchanges for 9 gates; measured"},
        {{"--no-merge"}, 8 + 9, "scan: 9 exchanges for 9 gates; measured"},
    };
    std::vector<std::string> outputs;
    for (const Row& row : rows) {
        std::vector<std::string> arguments = {"--gates", gates_, "--models", models_, "--rounds", "2",
                                              "--format", "csv"};
        arguments.insert(arguments.end(), row.options.begin(), row.options.end());
        sim_->ClearTrace();
        const Outcome r = Poll(arguments);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        // What the plan sends, less what other requests of the round share
        // (a read covered by another's queued read), and at most one more
        // selection a round where the line's turns interleave the stations.
        EXPECT_LE(FramesSent(), 2 * row.frames + 2) << r.err;
        EXPECT_GE(FramesSent(), 2 * (2 + 4)) << r.err;
        EXPECT_NE(r.err.find(row.scan), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("poll summary: 18 reads, 0 failures"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("retries: none for any gate"), std::string::npos) << r.err;
        outputs.push_back(WithoutTime(r.out));
    }
    EXPECT_EQ(outputs[0], outputs[1]) << "the same gates, values and order whatever the plan";
    for (const char* line : {"001DR0011,-,1011,0x03F3,0", "002DR0403,-,1209,0x04B9,0", "002IO0000,10,1,,0"}) {
        EXPECT_NE(outputs[0].find(line), std::string::npos) << line << "\n" << outputs[0];
    }
}

TEST_F(PollScanTest, FailedReadsGiveTheirResultPerGateAndTheExitCode) {
    struct Row {
        const char* name;
        std::string gates;
        bool withModels;
        int exitCode;
        std::vector<const char*> inOut;
        const char* inErr;
    };
    sim_->SetSilent(1, true);
    const Row rows[] = {
        // A silent station: the block of both gates fails with 2, after four retries.
        {"lineFailure", "001DR0010\n001DR0011\n", true, 2,
         {"001DR0010   -       FAILED (result 2)", "001DR0011   -       FAILED (result 2)"},
         "001DR0011        1         1        4            2"},
        // The driver refuses a read of WO, which has no read frame: 1, at once.
        {"refused", "002WO0001 2\n", true, 1, {"002WO0001   -       FAILED (result 1)"},
         "002WO0001        1         1        0            1"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> arguments = {"--gates", WriteFile("list.txt", row.gates), "--rounds", "1"};
        if (row.withModels) arguments.insert(arguments.end(), {"--models", models_});
        const Outcome r = Poll(arguments);
        EXPECT_EQ(r.exitCode, row.exitCode) << row.name << "\n" << r.err;
        for (const char* text : row.inOut) EXPECT_NE(r.out.find(text), std::string::npos) << row.name << "\n" << r.out;
        EXPECT_NE(r.err.find(row.inErr), std::string::npos) << row.name << "\n" << r.err;
    }
}

TEST_F(PollScanTest, WatchDrawsACompactTableEachRound) {
    const Outcome r = Poll({"--gates", gates_, "--models", models_, "--rounds", "2", "--watch"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("round 1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("round 2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("002IO0000         0  0000000000100000"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("001DR0012         0  1012"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\x1b["), std::string::npos) << "no cursor movement off a terminal";
}

TEST_F(PollScanTest, CtrlCEndsTheReadInProgressAndASecondQuitsAtOnce) {
    sim_->SetSilent(1, true);
    const std::string list = WriteFile("list.txt", "001DR0010\n");
    struct Row {
        const char* name;
        const char* signals;  // shell commands after the start
        int exitCode;
        bool summary;
        double atMostSeconds;
    };
    const Row rows[] = {
        {"once", "sleep 0.5; kill -INT $pid", 2, true, 30},
        {"twice", "sleep 0.5; kill -INT $pid; sleep 0.3; kill -INT $pid", 130, false, 2.5},
    };
    for (const Row& row : rows) {
        const std::string command = std::string(QELHOST_PATH) + " poll --gates " + list + " --port " + link_ +
                                    " 2> " + (dir_ / "err.txt").string() + " & pid=$!; " + row.signals +
                                    "; wait $pid";
        const auto start = std::chrono::steady_clock::now();
        const Outcome r = hosttest::Run("/bin/sh", {"-c", command});
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::ifstream file(dir_ / "err.txt");
        const std::string err((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        EXPECT_EQ(r.exitCode, row.exitCode) << row.name << "\n" << err;
        EXPECT_NE(err.find("stopping after the read in progress"), std::string::npos) << row.name << "\n" << err;
        EXPECT_EQ(err.find("poll summary:") != std::string::npos, row.summary) << row.name << "\n" << err;
        EXPECT_LT(seconds, row.atMostSeconds) << row.name;
    }
}

}  // namespace
