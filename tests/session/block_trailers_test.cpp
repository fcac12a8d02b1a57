// The learning of a station's block trailer: the rule a run of replies
// teaches, the replies it rejects, and when a station is unverified.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/gates/block_text.h"
#include "session/line/block_trailers.h"
#include "support/case_name.h"

namespace {

using qel::session::BlockCheck;
using qel::session::BlockTrailers;

constexpr unsigned kStation = 2;

// What one block reply brings: its trailer and the data it follows.
// "$" is the trailer of the data's checksum, "$+" one with the checksum one
// too high; anything else is taken as written.
struct Reply {
    std::string trailer;
    bool accepted;
    int times = 1;
    bool timers = false;  // TM data, whose checksum the values cannot prove
};

struct LearnCase {
    const char* name;
    std::vector<Reply> replies;
    BlockCheck check;
    int logLines;
};

class Learning : public ::testing::TestWithParam<LearnCase> {};

TEST_P(Learning, RepliesAndTheCheckTheyLeave) {
    const LearnCase& c = GetParam();
    std::vector<std::string> log;
    BlockTrailers trailers([&](const std::string& line) { log.push_back(line); });
    std::uint16_t values[4] = {0x1234, 0x2BCD, 0x0007, 0};  // 14 bits, as the driver keeps timers
    GateTransfer transfer{};
    transfer.station = kStation;
    transfer.count = 3;
    std::size_t number = 0;
    for (const Reply& reply : c.replies) {
        transfer.areaCode = reply.timers ? AREA_TM : AREA_DR;
        transfer.values = values;
        const std::uint8_t sum = qel::session::DigitSum(qel::session::ReformBlockData(transfer).characters);
        std::string trailer = reply.trailer;
        if (trailer == "$") trailer = qel::session::ByteField(sum) + "\r";
        if (trailer == "$+") trailer = qel::session::ByteField(static_cast<std::uint8_t>(sum + 1)) + "\r";
        const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(trailer.data()), trailer.size());
        for (int i = 0; i < reply.times; ++i, ++number)
            EXPECT_EQ(trailers.Accept(kStation, transfer, bytes), reply.accepted) << "reply " << number;
    }
    EXPECT_EQ(trailers.Check(kStation), c.check);
    EXPECT_EQ(static_cast<int>(log.size()), c.logLines);
    EXPECT_EQ(trailers.Check(kStation + 1), BlockCheck::Learning) << "another station learns on its own";
}

const Reply kGood{"$", true, 3};

INSTANTIATE_TEST_SUITE_P(Rules, Learning, ::testing::Values(
    LearnCase{"ThreeChecksumsTeachTheChecksum", {kGood}, BlockCheck::Checksum, 1},
    LearnCase{"TwoAreNotEnough", {{"$", true, 2}}, BlockCheck::Learning, 0},
    LearnCase{"OtherCharactersTeachTheShape", {{"AB\r", true, 3}, {"CD\r", true}, {"AB", false}}, BlockCheck::Shape, 1},
    LearnCase{"OneCharacterTrailer", {{"\r", true, 10}, {"", false}, {"0\r", false}}, BlockCheck::Shape, 1},
    LearnCase{"FarFromTheChecksumThreeDo", {{"123456\r", true, 3}, {"1\r", false}}, BlockCheck::Shape, 1},
    LearnCase{"AnotherShapeRestartsTheRun", {{"AB\r", true, 2}, {"x\r", true}, {"AB\r", true, 2}},
              BlockCheck::Learning, 0},
    LearnCase{"ChecksumsNeedNotBeInARow", {{"$", true, 2}, {"x\r", false}, {"1\r", false}, {"$", true}},
              BlockCheck::Checksum, 1},
    LearnCase{"ADamagedSumWhileLearningWaits", {{"$+", true}, {"$", true, 2}}, BlockCheck::Learning, 0},
    LearnCase{"MoreSumsFitThanNot", {{"$+", true, 2}, {"$", true, 2}, {"$", true}, {"$+", false}},
              BlockCheck::Checksum, 1},
    LearnCase{"LearningAcceptsEveryReply", {{"1\r", true}, {"$+", true}, {"AB\r", true}}, BlockCheck::Learning, 0},
    LearnCase{"UntilAChecksumFit", {{"$", true}, {"1\r", false}, {"$+", false}, {"$", true, 2}}, BlockCheck::Checksum, 1},
    LearnCase{"ADamagedChecksumIsRetried", {kGood, {"$+", false}, {"$", true}}, BlockCheck::Checksum, 1},
    LearnCase{"ALostCharacterIsRetried", {kGood, {"1\r", false}, {"$", true}}, BlockCheck::Checksum, 1},
    LearnCase{"AGainedCharacterIsRetried", {kGood, {"012\r", false}}, BlockCheck::Checksum, 1},
    LearnCase{"ALostCrIsRetried", {kGood, {"12", false}}, BlockCheck::Checksum, 1},
    LearnCase{"NoCrNoRule", {{"", true, 19}, {"", true}}, BlockCheck::Unverified, 1},
    LearnCase{"NineteenAreNotYetNoRule", {{"", true, 19}}, BlockCheck::Learning, 0},
    LearnCase{"ShapesThatKeepChangingFitNoRule",
              {{"1\r", true}, {"1234\r", true}, {"1\r", true}, {"1234\r", true}, {"1\r", true}, {"1234\r", true},
               {"1\r", true}, {"1234\r", true}, {"1\r", true}, {"1234\r", true}, {"1\r", true}, {"1234\r", true},
               {"1\r", true}, {"1234\r", true}, {"1\r", true}, {"1234\r", true}, {"1\r", true}, {"1234\r", true},
               {"1\r", true}, {"1234\r", true}},
              BlockCheck::Unverified, 1},
    LearnCase{"FiveUnexplainedFailuresUnlearn", {kGood, {"12345\r", false, 5}, {"12345\r", true}},
              BlockCheck::Unverified, 2},
    LearnCase{"FourDoNot", {kGood, {"12345\r", false, 4}, {"$", true}, {"12345\r", false, 4}},
              BlockCheck::Checksum, 1},
    LearnCase{"SlipsAreNoiseUntilTwenty",
              {kGood, {"1\r", false, 6}, {"\r", false, 2}, {"12345", false, 2}, {"$+", false, 9}},
              BlockCheck::Checksum, 1},
    LearnCase{"TwentyFailuresOfAnySortUnlearn", {kGood, {"1\r", false, 10}, {"$+", false, 10}, {"$+", true}},
              BlockCheck::Unverified, 2},
    LearnCase{"UnverifiedLearnsAgainFromTen", {kGood, {"12345\r", false, 5}, {"X\r", true, 10}, {"AB\r", false}},
              BlockCheck::Shape, 3},
    LearnCase{"AShiftedChecksumShapeTakesTen", {{"1\r", true, 9}}, BlockCheck::Learning, 0},
    LearnCase{"AWrongShapeGivesWayToChecksums", {{"1\r", true, 10}, {"$", true, 3}, {"1\r", false}},
              BlockCheck::Checksum, 2},
    LearnCase{"NineAreNotEnoughAfterwards", {kGood, {"12345\r", false, 5}, {"X\r", true, 9}},
              BlockCheck::Unverified, 2},
    LearnCase{"TimersTeachTheShapeOnly", {{"$", true, 3, true}, {"$+", true}}, BlockCheck::Shape, 1},
    LearnCase{"ThenThreeProvenSumsTeachTheChecksum", {{"$", true, 3, true}, {"$", true, 3}, {"$+", false}},
              BlockCheck::Checksum, 2},
    LearnCase{"TimersAreJudgedAsFarAsTheirBitsTell", {kGood, {"$", true, 1, true}, {"$+", false, 1, true}},
              BlockCheck::Checksum, 1}),
    testsupport::CaseName<LearnCase>);

// Whether the next reply is judged: not before a checksum fit or a shape
// was learned, from then on.
TEST(BlockTrailersJudges, FromTheFirstFittingChecksumOrALearnedShape) {
    BlockTrailers trailers;
    std::uint16_t values[3] = {0x1234, 0x0042, 0};
    GateTransfer transfer{};
    transfer.station = kStation;
    transfer.areaCode = AREA_DR;
    transfer.count = 2;
    transfer.values = values;
    const std::string checksum = qel::session::ByteField(qel::session::DigitSum(qel::session::ReformBlockData(transfer).characters)) + "\r";
    const auto accept = [&](unsigned station, const std::string& trailer) {
        return trailers.Accept(station, transfer,
                               {reinterpret_cast<const std::uint8_t*>(trailer.data()), trailer.size()});
    };
    EXPECT_FALSE(trailers.Judges(kStation));
    EXPECT_TRUE(accept(kStation, "7\r"));  // not a checksum: served, unjudged
    EXPECT_FALSE(trailers.Judges(kStation));
    EXPECT_TRUE(accept(kStation, checksum));
    EXPECT_TRUE(trailers.Judges(kStation));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(accept(kStation + 1, "12345\r"));
    EXPECT_EQ(trailers.Check(kStation + 1), BlockCheck::Shape);
    EXPECT_TRUE(trailers.Judges(kStation + 1));
}

TEST(BlockReply, OnlyBlockDataHasATrailer) {
    GateTransfer transfer{};
    transfer.areaCode = AREA_DR;
    transfer.count = 1;
    EXPECT_FALSE(qel::session::HasBlockReply("FA2", transfer));
    EXPECT_TRUE(qel::session::HasBlockReply("FA3", transfer));
    transfer.count = 2;
    EXPECT_TRUE(qel::session::HasBlockReply("FA2", transfer));
    transfer.areaCode = AREA_IO;
    transfer.count = 8;
    EXPECT_FALSE(qel::session::HasBlockReply("FA2", transfer));
    EXPECT_TRUE(qel::session::HasBlockReply("FA3", transfer));
}

TEST(BlockTrailersLog, TheUnlearnedLineNamesTheStationAndTheRule) {
    std::vector<std::string> log;
    BlockTrailers trailers([&](const std::string& line) { log.push_back(line); });
    std::uint16_t values[2] = {0, 0};
    GateTransfer transfer{};
    transfer.areaCode = AREA_DR;
    transfer.count = 2;
    transfer.values = values;
    const std::uint8_t good[] = {'0', '0', '\r'};
    const std::uint8_t bad[] = {'0', '0', '0', '0', '0', '\r'};
    for (int i = 0; i < 3; ++i) trailers.Accept(7, transfer, good);
    EXPECT_EQ(trailers.Rule(7), "3 characters, CR last, checksum");
    for (int i = 0; i < 5; ++i) trailers.Accept(7, transfer, bad);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "station 7: block data unverified: the learned trailer (3 characters, CR last, checksum) "
                      "failed 5 block replies in a row, the last \"00000<CR>\"; learning again");
    EXPECT_EQ(trailers.Rule(7), "");
}

}  // namespace
