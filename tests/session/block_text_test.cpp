// The host's re-formed BlockData against the driver's own decoding: BlockData
// decoded by the driver and re-formed from the values gives the characters
// back, and the checksum judgement follows from them.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "session/gates/block_text.h"
#include "protocol/digit_codec.h"
#include "protocol/reply.h"
#include "support/case_name.h"

namespace {

using qel::session::BlockText;

struct FormCase {
    const char* name;
    std::uint32_t area;
    std::int32_t count;
    qel::StationKind kind;
    bool sameCharacters;  // the values carry every bit of the data
};

class BlockTextForm : public ::testing::TestWithParam<FormCase> {};

// Random digits of the BlockData of a read, as a controller would send them.
std::string RandomData(std::size_t characters, std::mt19937& random) {
    std::string data;
    for (std::size_t i = 0; i < characters; ++i) data.push_back(static_cast<char>('0' + random() % 16));
    return data;
}

TEST_P(BlockTextForm, DecodedByTheDriverAndReformedByTheHost) {
    const FormCase& c = GetParam();
    std::mt19937 random(7);
    const std::size_t characters = 2u * qel::DataByteCount(static_cast<std::uint16_t>(c.area),
                                                            static_cast<std::uint16_t>(c.count));
    for (int round = 0; round < 50; ++round) {
        const std::string data = RandomData(characters, random);
        std::vector<std::uint16_t> values(static_cast<std::size_t>(std::max(c.count, 2)), 0xA5A5);
        const std::span<const std::uint8_t> reply(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
        qel::DecodeReply(static_cast<std::uint16_t>(c.area), static_cast<std::uint16_t>(c.count), c.kind, reply,
                         values);
        GateTransfer transfer{};
        transfer.areaCode = c.area;
        transfer.count = c.count;
        transfer.values = values.data();
        const BlockText text = qel::session::ReformBlockData(transfer);
        ASSERT_EQ(text.characters.size(), data.size());
        if (c.sameCharacters) {
            EXPECT_EQ(text.characters, data);
            EXPECT_EQ(qel::session::DigitSum(text.characters), qel::CheckSum(reply));
        }
        // Whatever the values lost, the controller's checksum still fits,
        // and one more or one less on it does not (unless bits are lost).
        const std::uint8_t sum = qel::CheckSum(reply);
        EXPECT_TRUE(qel::session::ChecksumFits(text, sum)) << data;
        if (text.wholeBytes) {
            EXPECT_FALSE(qel::session::ChecksumFits(text, static_cast<std::uint8_t>(sum + 1))) << data;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Areas, BlockTextForm, ::testing::Values(
    FormCase{"Fa2DrBlock", AREA_DR, 100, qel::StationKind::FA2, true},
    FormCase{"Fa3DrBlock", AREA_DR, 37, qel::StationKind::FA3, true},
    FormCase{"Fa3SingleWord", AREA_DR, 1, qel::StationKind::FA3, true},
    FormCase{"Fa3Presets", AREA_TP, 20, qel::StationKind::FA3, true},
    FormCase{"Fa3Timers", AREA_TM, 30, qel::StationKind::FA3, false},
    FormCase{"Fa3Counters", AREA_CT, 2, qel::StationKind::FA3, false},
    FormCase{"Fa3Inputs", AREA_IO, 64, qel::StationKind::FA3, true},
    FormCase{"Fa3RelaysRemainderDropped", AREA_IR, 21, qel::StationKind::FA3, true},
    FormCase{"Fa3SingleBit", AREA_SR, 1, qel::StationKind::FA3, false}),
    testsupport::CaseName<FormCase>);

TEST(BlockText, WordsTravelLowByteFirstAndTheSumIsOfTheDigits) {
    std::uint16_t values[] = {0x1234, 0x0001};
    GateTransfer transfer{};
    transfer.areaCode = AREA_DR;
    transfer.count = 2;
    transfer.values = values;
    EXPECT_EQ(qel::session::ReformBlockData(transfer).characters, "34120100");
    EXPECT_EQ(qel::session::DigitSum("????"), 0x3C);
    EXPECT_EQ(qel::session::ByteField(0x3C), "3<");
    std::uint8_t parsed = 0;
    EXPECT_TRUE(qel::session::ParseByteField("3<", parsed));
    EXPECT_EQ(parsed, 0x3C);
    EXPECT_FALSE(qel::session::ParseByteField("3C", parsed));
}

TEST(BlockText, TimersFitOnlyChecksumsTheirTopBitsCanMake) {
    std::uint16_t values[] = {0x0000, 0x0000};  // slot 1: a single timer
    GateTransfer transfer{};
    transfer.areaCode = AREA_TM;
    transfer.count = 1;
    transfer.values = values;
    const BlockText text = qel::session::ReformBlockData(transfer);
    EXPECT_EQ(text.maskedWords, 1u);
    for (unsigned sum = 0; sum < 256; ++sum) {
        const bool possible = sum == 0 || sum == 4 || sum == 8 || sum == 12;
        EXPECT_EQ(qel::session::ChecksumFits(text, static_cast<std::uint8_t>(sum)), possible) << sum;
    }
}

}  // namespace
