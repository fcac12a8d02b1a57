// Replies the driver must never take as good, over the in-memory line and
// through QelMain: characters that are no digits in the data, line errors
// reported by the port, and transfers that have no frame or no room.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "serial/serial_port.h"
#include "support/case_name.h"
#include "support/host_records.h"
#include "support/log_capture.h"
#include "support/memory_line.h"

namespace {

constexpr std::uint16_t kUntouched = 0xBEEF;

// What the controller answers to one request: the bytes, and whether the
// port reports a line error with the echo or with the answer.
struct Answer {
    std::string bytes;
    bool errorOnEcho = false;
    bool errorOnAnswer = false;
};

struct ReplyCase {
    const char* name;
    const char* model;
    std::uint32_t areaCode;
    std::uint32_t element;
    std::int32_t count;
    Answer bad;     // the first answers
    int badTimes;   // how many attempts get the bad answer
    Answer good;    // every later answer
    std::int32_t result;
    std::vector<std::uint16_t> slots;  // expected slots 0..n-1
};

class Station {
public:
    explicit Station(const char* model) {
        line_.SetEcho(true);
        PortSettings settings{};
        workspace_.portHandle = qel::OpenPort(settings);
        workspace_.readTimeout = 100;
        workspace_.lastStation = NO_STATION;
        for (auto& text : workspace_.stationModel) std::snprintf(text, STATION_MODEL_SIZE, "%s", model);
        line_.SetResponder([this](std::string_view written, testsupport::MemoryLine& line) {
            const std::size_t fed = line.Consumed() + line.Pending();
            if (written.front() == '`') {
                line.Feed("c00\r");
                return;
            }
            const Answer& answer = answers_.size() > 1 ? answers_.front() : answers_.back();
            if (answer.errorOnEcho) line.LineErrorAt(fed - written.size());
            if (answer.errorOnAnswer) line.LineErrorAt(fed);
            line.Feed(answer.bytes);
            if (answers_.size() > 1) answers_.pop_front();
        });
    }
    void Script(const Answer& bad, int badTimes, const Answer& good) {
        answers_.assign(static_cast<std::size_t>(badTimes), bad);
        answers_.push_back(good);
    }
    std::int32_t Call(std::int32_t operation, GateTransfer& transfer) {
        return testsupport::CallQel(workspace_, operation, &transfer);
    }
    testsupport::MemoryLine line_;
    DriverWorkspace workspace_{};

private:
    std::deque<Answer> answers_;
};

class RejectedReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(RejectedReply, IsRetriedAndNeverStored) {
    const ReplyCase& c = GetParam();
    Station station(c.model);
    station.Script(c.bad, c.badTimes, c.good);
    testsupport::LogCapture log;
    std::vector<std::uint16_t> values(c.slots.size(), kUntouched);
    GateTransfer transfer = testsupport::SingleTransfer("001DR0007", 1, c.areaCode, c.element, values.data());
    transfer.count = c.count;

    EXPECT_EQ(station.Call(QEL_READ_BLOCK, transfer), c.result);
    EXPECT_EQ(values, c.slots);
    int retries = 0;
    for (const auto& line : log.Lines()) retries += line.text.find("Read Retry") != std::string::npos ? 1 : 0;
    EXPECT_EQ(retries, std::min(c.badTimes, 4));
    EXPECT_EQ(static_cast<int>(station.workspace_.lastStation), c.result == 0 ? 1 : NO_STATION);
}

const std::vector<std::uint16_t> kSingle{kUntouched, 0x1234};

INSTANTIATE_TEST_SUITE_P(Replies, RejectedReply, ::testing::Values(
    // BlockData carries no checksum: a NUL (a byte the UART flagged) or a
    // letter in it must not be decoded.
    ReplyCase{"Fa3WordWithNul", "FA3", AREA_DR, 7, 1, {std::string("c00\r\0" "412", 8)}, 1,
              {"c00\r3412"}, 0, kSingle},
    ReplyCase{"Fa2BlockWithLetter", "FA2", AREA_DR, 7, 2, {"c00\r3412x100"}, 1, {"c00\r34120100"}, 0,
              {0x1234, 0x0001}},
    ReplyCase{"Fa3BitsWithSpace", "FA3", AREA_IO, 0, 16, {"c00\r05 0"}, 1, {"c00\r0580"}, 0,
              {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
    // 'A' and '"' sum to the same checksum as '1' and '2'.
    ReplyCase{"Fa2ElementSameChecksum", "FA2", AREA_DR, 7, 1, {"pA\"340:\r"}, 1, {"p12340:\r"}, 0, kSingle},
    // Line errors fail the attempt whatever the bytes look like.
    ReplyCase{"LineErrorOnReply", "FA2", AREA_DR, 7, 1, {"p12340:\r", false, true}, 1, {"p12340:\r"}, 0,
              kSingle},
    ReplyCase{"LineErrorOnEcho", "FA2", AREA_DR, 7, 1, {"p12340:\r", true, false}, 1, {"p12340:\r"}, 0,
              kSingle},
    ReplyCase{"LineErrorOnAck", "FA3", AREA_DR, 7, 1, {"c00\r3412", false, true}, 1, {"c00\r3412"}, 0,
              kSingle},
    // Every attempt rejected: result 1, the host's array untouched.
    ReplyCase{"AlwaysNul", "FA3", AREA_DR, 7, 1, {std::string("c00\r34\0" "2", 8)}, 5, {"c00\r3412"}, 1,
              {kUntouched, kUntouched}},
    ReplyCase{"AlwaysLineError", "FA2", AREA_DR, 7, 1, {"p12340:\r", false, true}, 5, {"p12340:\r"}, 1,
              {kUntouched, kUntouched}}),
    testsupport::CaseName<ReplyCase>);

// Transfers that have no request frame or no room in the host's array are
// refused with 1 before anything goes on the line (counts in general: the
// hygiene suite).
struct RefusedCase {
    const char* name;
    const char* model;
    std::int32_t operation;
    std::uint32_t areaCode;
    std::int32_t count;
};

class RefusedTransfer : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedTransfer, BeforeAnyTraffic) {
    const RefusedCase& c = GetParam();
    Station station(c.model);
    station.Script({"c00\r"}, 0, {"c00\r"});
    std::vector<std::uint16_t> values(4, kUntouched);
    values[1] = 1;
    GateTransfer transfer = testsupport::SingleTransfer("002X", 2, c.areaCode, 0, values.data());
    transfer.count = c.count;
    EXPECT_EQ(station.Call(c.operation, transfer), 1);
    EXPECT_TRUE(station.line_.Writes().empty());
    EXPECT_EQ(station.line_.SleptMs(), 0u);
    EXPECT_EQ(values, (std::vector<std::uint16_t>{kUntouched, 1, kUntouched, kUntouched}));
}

INSTANTIATE_TEST_SUITE_P(Transfers, RefusedTransfer, ::testing::Values(
    RefusedCase{"Fa3ForceRead", "FA3", QEL_READ_BLOCK, AREA_FORCE, 1},
    RefusedCase{"Fa2IoReadCountZero", "FA2", QEL_READ_BLOCK, AREA_IO, 0},
    RefusedCase{"Fa3DrWriteCountZero", "FA3", QEL_WRITE, AREA_DR, 0}),
    testsupport::CaseName<RefusedCase>);

}  // namespace
