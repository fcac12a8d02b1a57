// The station probe: its time-outs from the line settings, and over the
// simulator on a pty which station is which model, which is silent, and how
// long a station takes to acknowledge its selection.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "fasim.h"
#include "session/driver/driver_library.h"
#include "session/driver/qel_session.h"
#include "session/stations/model_file_check.h"
#include "session/stations/station_probe.h"
#include "support/pty_pair.h"

namespace {

using namespace qel::session;

TEST(StationProbe, ReadTimeoutIsTurnRoundPlusTwentyCharacters) {
    struct Case {
        unsigned baud;
        unsigned dataBits;
        const char* parity;
        const char* stopBits;
        int probeTimeoutMs;
        int units;  // 10 ms
    } cases[] = {
        {9600, 8, "even", "1", 0, 8},     // 11 bits: 23 ms + 50
        {9600, 8, "none", "1", 0, 8},     // 10 bits: 21 ms + 50
        {9600, 8, "even", "2", 0, 8},     // 12 bits: 25 ms + 50
        {1200, 8, "none", "1", 0, 22},    // 167 ms + 50
        {300, 7, "even", "1", 0, 72},     // 10 bits: 667 ms + 50
        {57600, 8, "even", "1", 0, 6},    // 4 ms + 50
        {0, 8, "even", "1", 0, 8},        // no baud given: 9600
        {9600, 8, "even", "1", 500, 50},  // a longer --probe-timeout wins
        {9600, 8, "even", "1", 41, 8},    // a shorter one does not
        {9600, 8, "even", "1", 91, 10},   // rounded up to 10 ms
    };
    for (const Case& c : cases) {
        LineOptions line;
        line.baud = c.baud;
        line.dataBits = c.dataBits;
        line.parity = c.parity;
        line.stopBits = c.stopBits;
        EXPECT_EQ(ProbeReadTimeout(line, c.probeTimeoutMs), c.units)
            << c.baud << " " << c.dataBits << c.parity << c.stopBits << " " << c.probeTimeoutMs;
    }
}

TEST(StationProbe, TimeoutForASlowStationIsTwiceItsTimeInFiftyMsSteps) {
    const int cases[][2] = {{0, 0}, {1, 50}, {25, 50}, {26, 100}, {100, 200}, {333, 700}, {1000, 2000}};
    for (const auto& c : cases) EXPECT_EQ(ProbeTimeoutFor(c[0]), c[1]) << c[0];
}

TEST(StationProbe, NamesItsAnswers) {
    EXPECT_STREQ(ProbeAnswerName(ProbeAnswer::Silent), "silent");
    EXPECT_STREQ(ProbeAnswerName(ProbeAnswer::Garbled), "garbled");
    EXPECT_STREQ(ProbeAnswerName(ProbeAnswer::FA2), "FA2");
    EXPECT_STREQ(ProbeAnswerName(ProbeAnswer::FA3), "FA3");
    EXPECT_STREQ(ProbeAnswerName(ProbeAnswer::Unknown), "unknown");
}

// The driver reads its station model file from the current directory: the
// probe's reopen writes it in a directory of the test's own.
class ProbeOverSim : public ::testing::Test {
protected:
    void SetUp() override {
        fasim::Options simOptions;
        simOptions.stations = {{1, fasim::Model::FA2}, {2, fasim::Model::FA3}, {4, fasim::Model::FA2}};
        simOptions.line.paced = false;
        sim_ = std::make_unique<fasim::Simulator>(simOptions);
        link_ = testsupport::ShortLinkPath();
        std::string error;
        ASSERT_TRUE(sim_->StartPty(link_, &error)) << error;
        ASSERT_TRUE(driver_.Load(VUZORUR_PATH, error)) << error;
        char dir[] = "/tmp/probe_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        cwd_ = cwd;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        line_.port = link_;
        session_ = std::make_unique<QelSession>(driver_);
        ASSERT_EQ(session_->Init(line_), DriverResult::Done);
    }
    void TearDown() override {
        if (session_) session_->Close();
        if (!cwd_.empty()) {
            EXPECT_EQ(chdir(cwd_.c_str()), 0);
        }
        std::remove((dir_ + "/davEV01.int").c_str());
        rmdir(dir_.c_str());
    }

    StationProbe MakeProbe() {
        return StationProbe(
            *session_,
            [this](const StationModels& models, int readTimeout) {
                ++reopens_;
                std::ofstream(dir_ + "/davEV01.int") << StationModelText(models);
                session_->Close();
                DriverResult result = session_->Init(line_);
                if (result == DriverResult::Done) result = session_->SetReadTimeout(line_, readTimeout);
                return result;
            },
            ProbeReadTimeout(line_));
    }

    std::unique_ptr<fasim::Simulator> sim_;
    std::string link_, dir_, cwd_;
    DriverLibrary driver_;
    LineOptions line_;
    std::unique_ptr<QelSession> session_;
    int reopens_ = 0;
};

TEST_F(ProbeOverSim, TellsEachStationsModelAndTheSilentOnes) {
    StationProbe probe = MakeProbe();
    struct Case {
        unsigned station;
        ProbeAnswer answer;
    } cases[] = {
        {1, ProbeAnswer::FA2}, {2, ProbeAnswer::FA3}, {3, ProbeAnswer::Silent}, {4, ProbeAnswer::FA2},
        {2, ProbeAnswer::FA3},
    };
    for (const Case& c : cases)
        EXPECT_EQ(probe.Probe(c.station), c.answer) << "station " << c.station;
    // Reopened only when the station taken for an FA-2 changes: all FA-3,
    // then 1; all FA-3 for 2 and 3; 4; all FA-3 for 2 again.
    EXPECT_EQ(reopens_, 5);
}

TEST_F(ProbeOverSim, AQuickLookAndTheTimeOfAnAnswer) {
    StationProbe probe = MakeProbe();
    int took = -2;
    EXPECT_TRUE(probe.Answers(2, 200, &took));
    EXPECT_GE(took, 0);
    EXPECT_LT(took, 1000);
    took = -2;
    EXPECT_FALSE(probe.Answers(3, 100, &took));
    EXPECT_EQ(took, -1);
    const std::optional<int> answer = probe.AnswerTime(1, kSlowLookMs);
    ASSERT_TRUE(answer.has_value());
    EXPECT_GE(*answer, 0);
    EXPECT_LT(*answer, kSlowLookMs);
    EXPECT_FALSE(probe.AnswerTime(3, 100).has_value());
    // A station falls silent and answers again.
    sim_->SetSilent(1, true);
    EXPECT_FALSE(probe.Answers(1, 100));
    sim_->SetSilent(1, false);
    EXPECT_EQ(probe.Probe(1), ProbeAnswer::FA2);
}

}  // namespace
