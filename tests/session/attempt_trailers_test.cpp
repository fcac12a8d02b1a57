// The trailers of QEL_READ_ATTEMPT judged by the host: over the in-memory
// line, a block whose data lost, gained or changed a character is taken by
// the driver as good, and the learned trailer rejects it; over fasim with
// dropped bytes, no shifted block gets past a learned rule.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "session/gates/block_text.h"
#include "session/line/block_trailers.h"
#include "fasim.h"
#include "support/case_name.h"
#include "support/host_records.h"
#include "support/log_capture.h"
#include "support/memory_line.h"
#include "support/pty_pair.h"
#include "vuzorur.h"

namespace {

using qel::session::BlockCheck;
using qel::session::BlockTrailers;
using testsupport::MemoryLine;

constexpr std::uint32_t kFa3 = 2;
constexpr std::int32_t kWords = 40;
const std::string kAck = "c00\r";

std::span<const std::uint8_t> TrailerOf(const QelAttempt& attempt) {
    return {attempt.trailer, static_cast<std::size_t>(attempt.trailerLength)};
}

GateTransfer Block(std::uint32_t station, std::uint32_t element, std::int32_t count, std::uint16_t* values) {
    GateTransfer transfer = testsupport::SingleTransfer("002DR0100", station, AREA_DR, element, values);
    transfer.count = count;
    return transfer;
}

// The BlockData of kWords words 0x1000 + i, with its checksum and CR.
std::string CleanReply() {
    std::vector<std::uint16_t> words(kWords);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint16_t>(0x1000 + 37 * i);
    GateTransfer transfer = Block(kFa3, 100, kWords, words.data());
    const std::string data = qel::session::ReformBlockData(transfer).characters;
    return data + qel::session::ByteField(qel::session::DigitSum(data)) + "\r";
}

struct LineFault {
    const char* name;
    std::size_t at;       // position in the BlockData
    int change;           // -1 drop, +1 insert a digit, 0 turn it into another digit
};

class AttemptTrailers : public ::testing::TestWithParam<LineFault> {
protected:
    void SetUp() override {
        line_.SetEcho(true);
        QelSetup setup = testsupport::SetupFor("mem");
        const testsupport::LogCapture initLines;
        ASSERT_EQ(testsupport::CallQel(workspace_, QEL_INIT, &setup, 97), 0);
        std::string("FA3").copy(workspace_.stationModel[kFa3], 4);
        line_.SetResponder([this](std::string_view written, MemoryLine& line) {
            line.Feed(written.front() == ']' ? kAck + reply_ : kAck);
        });
    }
    // One attempt and the host's judgement of it; -1 when the driver failed it.
    int Read(const std::string& reply) {
        reply_ = reply;
        values_.assign(kWords, 0xA5A5);
        transfer_ = Block(kFa3, 100, kWords, values_.data());
        QelAttempt attempt{};
        attempt.transfer = &transfer_;
        if (testsupport::CallQel(workspace_, QEL_READ_ATTEMPT, &attempt, 97) != 0) return -1;
        return trailers_.Accept(kFa3, transfer_, TrailerOf(attempt)) ? 1 : 0;
    }

    MemoryLine line_;
    DriverWorkspace workspace_{};
    BlockTrailers trailers_;
    std::string reply_;
    std::vector<std::uint16_t> values_;
    GateTransfer transfer_{};
};

TEST_P(AttemptTrailers, TheDriverTakesTheBlockTheLearnedTrailerRejects) {
    const LineFault& f = GetParam();
    const std::string clean = CleanReply();
    std::string faulty = clean;
    if (f.change < 0) faulty.erase(f.at, 1);
    if (f.change > 0) faulty.insert(f.at, 1, '5');
    if (f.change == 0) faulty[f.at] = faulty[f.at] == '9' ? '8' : '9';

    // Before the station's trailer is known, the shifted block is served.
    EXPECT_EQ(Read(faulty), 1);
    EXPECT_EQ(trailers_.Check(kFa3), BlockCheck::Learning);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Read(clean), 1);
    EXPECT_EQ(trailers_.Check(kFa3), BlockCheck::Checksum);
    const std::vector<std::uint16_t> good = values_;

    EXPECT_EQ(Read(faulty), 0) << "the driver took it, the trailer does not";
    EXPECT_NE(values_, good) << "the values the block would have served were wrong";
    EXPECT_EQ(Read(clean), 1);
    EXPECT_EQ(values_, good);
}

INSTANTIATE_TEST_SUITE_P(Faults, AttemptTrailers, ::testing::Values(
    LineFault{"FirstCharacterLost", 0, -1},
    LineFault{"MiddleCharacterLost", 77, -1},
    LineFault{"LastCharacterLost", 4 * kWords - 1, -1},
    LineFault{"DigitGainedAtTheStart", 0, 1},
    LineFault{"DigitGainedInTheMiddle", 101, 1},
    LineFault{"DigitChanged", 50, 0}),
    testsupport::CaseName<LineFault>);

// fasim on a pseudo-terminal, the driver in this process, FA3 station 2
// with 100 known words; replies lose bytes at 3 in 1000.
TEST(FasimTrailers, NoShiftedBlockPassesTheLearnedRule) {
    fasim::Options options;
    options.stations = {{2, fasim::Model::FA3}};
    options.line.paced = false;
    fasim::Simulator sim(options);
    const std::string link = testsupport::ShortLinkPath();
    std::string error;
    ASSERT_TRUE(sim.StartPty(link, &error)) << error;
    std::mt19937 random(3);
    std::vector<std::uint16_t> truth(MAX_BLOCK_COUNT);
    for (unsigned i = 0; i < truth.size(); ++i) {
        truth[i] = static_cast<std::uint16_t>(random());
        ASSERT_TRUE(sim.Set(2, "DR", 200 + i, truth[i]));
    }
    DriverWorkspace workspace{};
    QelSetup setup = testsupport::SetupFor(link, 1, 100);
    const testsupport::LogCapture driverLines;
    ASSERT_EQ(testsupport::CallQel(workspace, QEL_INIT, &setup), 0);
    std::string("FA3").copy(workspace.stationModel[2], 4);

    BlockTrailers trailers;
    std::vector<std::uint16_t> values(MAX_BLOCK_COUNT);
    GateTransfer transfer = Block(2, 200, MAX_BLOCK_COUNT, values.data());
    auto attempt = [&]() {
        QelAttempt block{};
        block.transfer = &transfer;
        block.timeoutMs = 1;  // the driver's floor: a short answer is not waited for long
        std::ranges::fill(values, 0xA5A5);
        if (testsupport::CallQel(workspace, QEL_READ_ATTEMPT, &block) != 0) return -1;
        return trailers.Accept(2, transfer, TrailerOf(block)) ? 1 : 0;
    };
    for (int i = 0; i < 3; ++i) ASSERT_EQ(attempt(), 1);
    ASSERT_EQ(trailers.Check(2), BlockCheck::Checksum);

    fasim::FaultSettings faults;
    faults.seed = 11;
    faults.dropRate = 0.003;
    faults.faultEcho = false;
    sim.SetFaults(faults);
    int shiftedRejected = 0, accepted = 0;
    for (int i = 0; i < 120; ++i) {
        const int judged = attempt();
        if (judged == 1) {
            ++accepted;
            EXPECT_EQ(values, truth) << "attempt " << i << " served wrong values";
        } else if (judged == 0 && values != truth) {
            ++shiftedRejected;
        }
    }
    EXPECT_EQ(trailers.Check(2), BlockCheck::Checksum) << "drops do not unlearn the rule";
    EXPECT_GE(shiftedRejected, 5) << "the driver took shifted blocks that the trailer rejected";
    EXPECT_GE(accepted, 20);
    testsupport::CallQel(workspace, QEL_CLOSE, nullptr);
}

}  // namespace
