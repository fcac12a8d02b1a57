// QEL_READ_ATTEMPT and QEL_WRITE_ATTEMPT through QelMain over the in-memory
// line: the frames of one attempt, why it failed, the time-out floor, the
// trailer after BlockData and the purge that counts its quiet.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/case_name.h"
#include "support/host_records.h"
#include "support/log_capture.h"
#include "support/memory_line.h"
#include "transact/frame_text.h"
#include "vuzorur.h"

namespace {

namespace f = e2e::frame;
using testsupport::MemoryLine;

constexpr std::uint32_t kFa2 = 1;
constexpr std::uint32_t kFa3 = 2;
const std::string kAck = "c00\r";
const std::string kNak = "d300\r";
// ReadBlockFa3 of DR 10, 4 data bytes (written out: the mingw compiler of the
// Windows build warns falsely inside the frame helper that builds it).
const std::string kFa3Dr10Count2 = "]444000:00041:\r";

// One QEL on the in-memory line, 9600 8E1, read time-out 1 s; station 2 is
// an FA3. The line echoes every frame; `answers` gives what follows the echo
// of each frame, in order (a missing entry: silence).
class AttemptLine : public ::testing::Test {
protected:
    void SetUp() override {
        line_.SetEcho(true);
        QelSetup setup = testsupport::SetupFor("mem");
        const testsupport::LogCapture initLines;  // the initialisation's own messages
        ASSERT_EQ(testsupport::CallQel(workspace_, QEL_INIT, &setup, 97), 0);
        std::string("FA3").copy(workspace_.stationModel[kFa3], 4);
        line_.SetResponder([this](std::string_view, MemoryLine& line) {
            if (next_ < answers_.size()) line.Feed(answers_[next_]);
            ++next_;
        });
    }
    void Answer(std::vector<std::string> answers) {
        answers_ = std::move(answers);
        next_ = 0;
    }
    std::int32_t Call(std::int32_t operation, GateTransfer& transfer, std::int32_t timeoutMs = 0) {
        attempt_ = QelAttempt{};
        attempt_.transfer = &transfer;
        attempt_.timeoutMs = timeoutMs;
        return testsupport::CallQel(workspace_, operation, &attempt_, 97);
    }
    std::string Trailer() const {
        return {reinterpret_cast<const char*>(attempt_.trailer), static_cast<std::size_t>(attempt_.trailerLength)};
    }

    MemoryLine line_;
    DriverWorkspace workspace_{};
    QelAttempt attempt_{};
    std::vector<std::string> answers_;
    std::size_t next_ = 0;
    std::uint16_t values_[4] = {0xA5A5, 0xA5A5, 0xA5A5, 0xA5A5};
};

GateTransfer Fa3Words(std::uint16_t* values, std::int32_t count) {
    GateTransfer transfer = testsupport::SingleTransfer("002DR0010", kFa3, AREA_DR, 10, values);
    transfer.count = count;
    return transfer;
}

TEST_F(AttemptLine, OneBlockReadSendsItsFramesOnceAndHandsBackTheTrailer) {
    GateTransfer transfer = Fa3Words(values_, 2);
    Answer({kAck, kAck + "34120100" + "1>\r"});
    testsupport::LogCapture log;
    EXPECT_EQ(Call(QEL_READ_ATTEMPT, transfer), 0);
    EXPECT_EQ(line_.Writes(), (std::vector<std::string>{f::Select(kFa3), kFa3Dr10Count2}));
    EXPECT_EQ(attempt_.failure, QEL_FAILURE_NONE);
    EXPECT_EQ(Trailer(), "1>\r");
    EXPECT_EQ(values_[0], 0x1234);
    EXPECT_EQ(values_[1], 0x0001);
    EXPECT_EQ(unsigned{workspace_.lastStation}, kFa3);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_TRUE(line_.Quiet()) << "the trailer ended on 20 ms of quiet";

    // The next purge counts that quiet: the element read after it costs no
    // purge wait on the line's clock, and the station is not selected again.
    GateTransfer single = testsupport::SingleTransfer("001DR0010", kFa2, AREA_DR, 10, values_);
    workspace_.lastStation = kFa2;
    Answer({"p12340:\r"});
    const std::uint64_t before = line_.SleptMs();
    EXPECT_EQ(testsupport::CallQel(workspace_, QEL_READ, &single, 97), 0);
    EXPECT_EQ(line_.SleptMs(), before) << "no 20 ms purge wait after the drained trailer";
    EXPECT_EQ(values_[1], 0x1234);
}

TEST_F(AttemptLine, ElementRepliesHaveNoTrailer) {
    GateTransfer transfer = testsupport::SingleTransfer("001TM0005", kFa2, AREA_TM, 5, values_);
    Answer({kAck, "i12340:\r"});
    EXPECT_EQ(Call(QEL_READ_ATTEMPT, transfer), 0);
    EXPECT_EQ(line_.Writes(), (std::vector<std::string>{f::Select(kFa2), f::ReadElement('4', 5)}));
    EXPECT_EQ(attempt_.trailerLength, 0);
    EXPECT_EQ(values_[1], 0x1234);
}

struct FailureCase {
    const char* name;
    std::int32_t operation;
    std::vector<std::string> answers;  // after the echo of each frame
    std::int32_t result;
    std::int32_t failure;
};

class AttemptFailures : public AttemptLine, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(AttemptFailures, OneAttemptAndItsCause) {
    const FailureCase& c = GetParam();
    GateTransfer transfer = testsupport::SingleTransfer("001DR0010", kFa2, AREA_DR, 10, values_);
    values_[1] = 7;
    Answer(c.answers);
    testsupport::LogCapture log;
    EXPECT_EQ(Call(c.operation, transfer), c.result);
    EXPECT_EQ(attempt_.failure, c.failure);
    EXPECT_EQ(line_.SleptMs() < 600u, true) << "no retry pause";
    EXPECT_EQ(unsigned{workspace_.lastStation}, NO_STATION) << "a failed attempt forgets the selection";
    for (const auto& l : log.Lines()) {
        EXPECT_EQ(l.text.find("failed. Gate"), std::string::npos) << l.text;
        EXPECT_EQ(l.text.find("Retry"), std::string::npos) << l.text;
    }
}

INSTANTIATE_TEST_SUITE_P(Causes, AttemptFailures, ::testing::Values(
    FailureCase{"ReadSilent", QEL_READ_ATTEMPT, {}, 2, QEL_FAILURE_NO_ANSWER},
    FailureCase{"ReadShortAck", QEL_READ_ATTEMPT, {"c0"}, 2, QEL_FAILURE_SHORT_ANSWER},
    FailureCase{"ReadNakToSelect", QEL_READ_ATTEMPT, {kNak}, 1, QEL_FAILURE_NAK},
    FailureCase{"ReadShortReply", QEL_READ_ATTEMPT, {kAck, "p12"}, 2, QEL_FAILURE_SHORT_ANSWER},
    FailureCase{"ReadChecksum", QEL_READ_ATTEMPT, {kAck, "p123400\r"}, 1, QEL_FAILURE_MALFORMED},
    FailureCase{"ReadNonDigit", QEL_READ_ATTEMPT, {kAck, "p12x4" + f::Byte(f::Sum("12x4")) + "\r"}, 1,
                QEL_FAILURE_MALFORMED},
    FailureCase{"ReadIllegalAck", QEL_READ_ATTEMPT, {"x00\r"}, 1, QEL_FAILURE_MALFORMED},
    FailureCase{"WriteSilent", QEL_WRITE_ATTEMPT, {kAck}, 2, QEL_FAILURE_NO_ANSWER},
    FailureCase{"WriteNak", QEL_WRITE_ATTEMPT, {kAck, kNak}, 1, QEL_FAILURE_NAK},
    FailureCase{"WriteNakShort", QEL_WRITE_ATTEMPT, {kAck, "d300"}, 2, QEL_FAILURE_SHORT_ANSWER}),
    testsupport::CaseName<FailureCase>);

TEST_F(AttemptLine, AnEchoThatDiffersIsAnEchoFailure) {
    line_.SetEcho(false);
    GateTransfer transfer = testsupport::SingleTransfer("001DR0010", kFa2, AREA_DR, 10, values_);
    Answer({"`0102\r"});
    EXPECT_EQ(Call(QEL_READ_ATTEMPT, transfer), 1);
    EXPECT_EQ(attempt_.failure, QEL_FAILURE_ECHO);
}

TEST_F(AttemptLine, RefusedTransfersSendNothing) {
    GateTransfer wo = testsupport::SingleTransfer("002WO0001", kFa3, AREA_WO, 1, values_);
    GateTransfer preset = testsupport::SingleTransfer("001CP0001", kFa2, AREA_CP, 1, values_);
    values_[1] = 10000;
    testsupport::LogCapture log;
    EXPECT_EQ(Call(QEL_READ_ATTEMPT, wo), 1);
    EXPECT_EQ(attempt_.failure, QEL_FAILURE_REFUSED);
    EXPECT_EQ(Call(QEL_WRITE_ATTEMPT, preset), 1);
    EXPECT_EQ(attempt_.failure, QEL_FAILURE_REFUSED);
    EXPECT_TRUE(line_.Writes().empty());
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(AttemptLine, WriteAttemptSendsTheFa2WriteOnce) {
    GateTransfer transfer = testsupport::SingleTransfer("001DR0007", kFa2, AREA_DR, 7, values_);
    values_[1] = 100;
    Answer({kAck, kAck});
    EXPECT_EQ(Call(QEL_WRITE_ATTEMPT, transfer), 0);
    EXPECT_EQ(line_.Writes(), (std::vector<std::string>{f::Select(kFa2), f::WriteDataRegister(7, 100)}));
    EXPECT_EQ(attempt_.failure, QEL_FAILURE_NONE);
    EXPECT_EQ(unsigned{workspace_.lastStation}, kFa2);
}

TEST_F(AttemptLine, WithoutAPortTheFailureIsThePort) {
    ASSERT_EQ(testsupport::CallQel(workspace_, QEL_CLOSE_PORT, nullptr, 97), 0);
    GateTransfer transfer = testsupport::SingleTransfer("001DR0010", kFa2, AREA_DR, 10, values_);
    EXPECT_EQ(Call(QEL_READ_ATTEMPT, transfer), 2);
    EXPECT_EQ(attempt_.failure, QEL_FAILURE_PORT);
}

// The time-out floor: 20 ms plus the characters of the longest answer at
// 9600 8E1 (11 bits each), rounded up to 10 ms. A silent station costs the
// purge before the selection and one such time-out; the workspace and the
// port keep their own time-out afterwards.
struct FloorCase {
    const char* name;
    std::int32_t count;
    std::int32_t timeoutMs;
    std::uint64_t waitMs;
};

class AttemptFloor : public AttemptLine, public ::testing::WithParamInterface<FloorCase> {};

TEST_P(AttemptFloor, RaisesTheTimeoutToTheAnswersTime) {
    const FloorCase& c = GetParam();
    GateTransfer transfer = Fa3Words(values_, c.count);
    std::vector<std::uint16_t> block(static_cast<std::size_t>(c.count) + 2, 0);
    transfer.values = block.data();
    const std::uint64_t before = line_.SleptMs();
    EXPECT_EQ(Call(QEL_READ_ATTEMPT, transfer, c.timeoutMs), 2);
    EXPECT_EQ(attempt_.failure, QEL_FAILURE_NO_ANSWER);
    EXPECT_EQ(line_.SleptMs() - before, 20u + c.waitMs);
    EXPECT_EQ(int{workspace_.readTimeout}, 100);
    EXPECT_EQ(line_.ReadTimeoutMs(), 1000u);
}

INSTANTIATE_TEST_SUITE_P(Floors, AttemptFloor, ::testing::Values(
    FloorCase{"ShortBlockOneMs", 2, 1, 40},          // 15 characters: 20 + 18 ms
    FloorCase{"LongBlockOneMs", 100, 1, 480},        // 400 characters: 20 + 459 ms
    FloorCase{"LongBlockLongerAsked", 100, 700, 700},
    FloorCase{"NoneAsked", 100, 0, 480}),
    testsupport::CaseName<FloorCase>);

}  // namespace
