// Reply lengths, the check of an ElementReply, and decoding into the host's
// value slots.
#include "protocol/reply.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frame_text.h"
#include "protocol/frame_parts.h"
#include "support/case_name.h"
#include "transact/transfer_fields.h"

namespace qel::test {
namespace {

// ---- ReplyLength ----

struct LengthCase {
    const char* name;
    char command;
    char subcode;
    std::size_t length;
};

class Length : public ::testing::TestWithParam<LengthCase> {};

TEST_P(Length, KnowsTheElementReply) {
    const LengthCase& c = GetParam();
    EXPECT_EQ(ReplyLength(static_cast<std::uint8_t>(c.command), static_cast<std::uint8_t>(c.subcode)), c.length);
}

INSTANTIATE_TEST_SUITE_P(Requests, Length, ::testing::Values(
    LengthCase{"R1", 'R', '1', 6}, LengthCase{"R2", 'R', '2', 6}, LengthCase{"R3", 'R', '3', 6},
    LengthCase{"RGreater", 'R', '>', 6}, LengthCase{"RQuestion", 'R', '?', 6},
    LengthCase{"R4", 'R', '4', 8}, LengthCase{"R5", 'R', '5', 8}, LengthCase{"R7", 'R', '7', 8},
    LengthCase{"R8", 'R', '8', 8}, LengthCase{"Y", 'Y', '0', 8}, LengthCase{"Z", 'Z', '?', 8},
    LengthCase{"R6", 'R', '6', 0}, LengthCase{"R9", 'R', '9', 0}, LengthCase{"DataBlock", ']', '1', 0},
    LengthCase{"Select", '`', '0', 0}),
    testsupport::CaseName<LengthCase>);

TEST(ReplyCodeTable, IsTheEighteenCharacterString) {
    EXPECT_EQ(kReplyCodeTable, "1f>f2g?g3h4i5j7p8p");
    EXPECT_EQ(kReplyCodeTable.size(), 18u);
}

// ---- CheckReply ----

struct CheckCase {
    const char* name;
    std::string request;
    std::string reply;
    int result;
};

class Check : public ::testing::TestWithParam<CheckCase> {};

TEST_P(Check, JudgesTheReply) {
    const CheckCase& c = GetParam();
    // Exact-size copies, so that a read past either end is caught.
    const std::vector<std::uint8_t> request = Bytes(c.request);
    const std::vector<std::uint8_t> reply = Bytes(c.reply);
    EXPECT_EQ(CheckReply(request, reply), c.result);
}

INSTANTIATE_TEST_SUITE_P(Replies, Check, ::testing::Values(
    CheckCase{"TimerAccepted", "R40509\r", "i12340:\r", 0},
    CheckCase{"DataRegisterAccepted", "R70:11\r", "p<00511\r", 0},
    CheckCase{"NoFinalCr", "R40509\r", "i12340:0", 1},
    CheckCase{"CrMissingShortReply", "R40509\r", "i12340:", 1},
    CheckCase{"WrongChecksumSecond", "R40509\r", "i12340;\r", 1},
    CheckCase{"WrongChecksumFirst", "R40509\r", "i12341:\r", 1},
    CheckCase{"CodeOfAnotherRequest", "R40509\r", "j12340:\r", 1},
    CheckCase{"BitReplyToIo", "R1:813\r", "f0101\r", 0},
    CheckCase{"FAcceptedForGreater", "R>8016\r", "f0101\r", 0},
    CheckCase{"GAcceptedForQuestion", "R?000?\r", "g0101\r", 0},
    CheckCase{"GAcceptedForTwo", "R20002\r", "g0101\r", 0},
    CheckCase{"GRejectedForGreater", "R>8016\r", "g0101\r", 1},
    CheckCase{"FRejectedForQuestion", "R?000?\r", "f0101\r", 1},
    CheckCase{"SrReply", "R30508\r", "h0000\r", 0},
    CheckCase{"CounterAccepted", "R52>15\r", "j000000\r", 0},
    CheckCase{"UpperDataRegister", "R82<16\r", "p12340:\r", 0},
    CheckCase{"UpperDataRegisterWrongCode", "R82<16\r", "i12340:\r", 1},
    CheckCase{"PresetTpAnsweredL", "Y0707\r", "l12340:\r", 0},
    CheckCase{"PresetTpAnsweredM", "Y0707\r", "m12340:\r", 1},
    CheckCase{"PresetCpAnsweredM", "Z0707\r", "m12340:\r", 0},
    CheckCase{"PresetCpAnsweredL", "Z0707\r", "l12340:\r", 1},
    CheckCase{"UnknownSubcode", "R6000\r", "p00000\r", 1},
    CheckCase{"NotAnElementRequest", "]182140:1:\r", "p000000\r", 1},
    CheckCase{"EmptyReply", "R40509\r", "", 1},
    CheckCase{"OnlyCr", "R40509\r", "\r", 1},
    CheckCase{"ThreeCharacters", "R40509\r", "i0\r", 1},
    CheckCase{"RequestTooShort", "R", "p000000\r", 1}),
    testsupport::CaseName<CheckCase>);

// ---- DecodeReply ----

constexpr std::uint16_t G = 0xBEEF;  // a slot nobody should have written

struct DecodeCase {
    const char* name;
    std::uint32_t area;
    std::int32_t count;
    const char* model;  // the station's model text
    std::string reply;
    std::vector<std::uint16_t> slots;  // the host array after the decode; starts all G
};

StationKind KindOf(const std::string& model) {
    if (model == "FA2") return StationKind::FA2;
    if (model == "FA3") return StationKind::FA3;
    return StationKind::Other;
}

class DecodeReplies : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeReplies, FillsTheSlots) {
    const DecodeCase& c = GetParam();
    std::vector<std::uint16_t> values(c.slots.size(), G);
    const std::vector<std::uint8_t> reply = Bytes(c.reply);
    const std::string model = c.model;
    DecodeReply(static_cast<std::uint16_t>(c.area), static_cast<std::uint16_t>(c.count), KindOf(model), reply, values);
    EXPECT_EQ(values, c.slots);
}

INSTANTIATE_TEST_SUITE_P(Words, DecodeReplies, ::testing::Values(
    DecodeCase{"TimerSingle", AREA_TM, 1, "FA2", "i12340:\r", {G, 0x1234}},
    DecodeCase{"TimerTopBitsMasked", AREA_TM, 1, "FA2", "i<00511\r", {G, 0x0005}},
    DecodeCase{"CounterTopBitsMasked", AREA_CT, 1, "FA2", "j<00511\r", {G, 0x0005}},
    DecodeCase{"DataRegisterKeepsTopBits", AREA_DR, 1, "FA2", "p<00511\r", {G, 0xC005}},
    DecodeCase{"PresetKeepsTopBits", AREA_CP, 1, "FA2", "m<00511\r", {G, 0xC005}},
    DecodeCase{"Fa3SingleIsBlockData", AREA_DR, 1, "FA3", "05<0", {G, 0xC005}},
    DecodeCase{"Fa3TimerSingleMasked", AREA_TM, 1, "FA3", "05<0", {G, 0x0005}},
    DecodeCase{"WOSingleIsBlockData", AREA_WO, 1, "FA2", "3412", {G, 0x1234}},
    DecodeCase{"OtherModelSingleIsElementReply", AREA_DR, 1, "FA4", "p12340:\r", {G, 0x1234}},
    DecodeCase{"Fa3WordBlock", AREA_DR, 2, "FA3", "34120100", {0x1234, 0x0001}},
    DecodeCase{"Fa2DataRegisterBlock", AREA_DR, 3, "FA2", "34120100<0??", {0x1234, 0x0001, 0xFFC0}},
    DecodeCase{"Fa3TimerBlockMasked", AREA_TM, 2, "FA3", "????0000", {0x3FFF, 0x0000}},
    DecodeCase{"WordBlockStopsAtReplyEnd", AREA_DR, 3, "FA3", "34120100", {0x1234, 0x0001, G}},
    DecodeCase{"WordBlockCountZeroStoresNothing", AREA_DR, 0, "FA3", "3412", {G, G}},
    DecodeCase{"TruncatedElementReplyStoresNothing", AREA_TM, 1, "FA2", "i12", {G, G}}),
    testsupport::CaseName<DecodeCase>);

INSTANTIATE_TEST_SUITE_P(Bits, DecodeReplies, ::testing::Values(
    DecodeCase{"Fa2SingleSet", AREA_IO, 1, "FA2", "f0101\r", {G, 1}},
    DecodeCase{"Fa2SingleClear", AREA_IR, 1, "FA2", "g0202\r", {G, 0}},
    DecodeCase{"Fa2SingleCountZero", AREA_SR, 0, "FA2", "h0?0?\r", {G, 1}},
    DecodeCase{"Fa3SingleSet", AREA_IO, 1, "FA3", "01", {G, 1}},
    DecodeCase{"Fa3SingleClear", AREA_IO, 1, "FA3", "02", {G, 0}},
    DecodeCase{"OtherModelSingleIsBlockData", AREA_IO, 1, "FA4", "01", {G, 1}},
    DecodeCase{"Fa3Block16", AREA_IO, 16, "FA3", "0580",
               {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
    DecodeCase{"Fa3Block8HighNibble", AREA_SR, 8, "FA3", "?0", {0, 0, 0, 0, 1, 1, 1, 1}},
    DecodeCase{"Fa2Block8", AREA_IO, 8, "FA2", "f8109\r", {1, 0, 0, 0, 0, 0, 0, 1}},
    DecodeCase{"Fa3BlockStopsAtReplyEnd", AREA_IO, 16, "FA3", "05",
               {1, 0, 1, 0, 0, 0, 0, 0, G, G, G, G, G, G, G, G}},
    DecodeCase{"ForceStoresNothing", AREA_FORCE, 1, "FA3", "01", {G, G}},
    DecodeCase{"UnknownAreaStoresNothing", 11, 1, "FA2", "f0101\r", {G, G}}),
    testsupport::CaseName<DecodeCase>);

// An FA2 bit block is answered by one byte of eight bits; a block of fewer
// slots gets only its own slots, and the slots behind it keep their values.
class Fa2ShortBitBlock : public ::testing::TestWithParam<int> {};

TEST_P(Fa2ShortBitBlock, StoresNoFurtherThanItsCount) {
    const int count = GetParam();
    std::vector<std::uint16_t> values(10, G);  // room for 8 and two guard slots
    const std::vector<std::uint8_t> reply = Bytes("f??1>\r");  // byte 0xFF
    DecodeReply(AREA_IO, static_cast<std::uint16_t>(count), qel::StationKind::FA2, reply, values);
    const int stored = count < 8 ? count : 8;
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(values[static_cast<std::size_t>(i)], i < stored ? 1 : G) << "slot " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, Fa2ShortBitBlock, ::testing::Values(2, 3, 4, 5, 6, 7, 8));

// The decoders stay inside the slots they are given, whatever the count.
TEST(DecodeBounds, NeverWritesPastTheGivenSlots) {
    std::vector<std::uint16_t> backing(8, G);
    const std::span<std::uint16_t> given(backing.data(), 4);
    DecodeBits(16, false, Bytes("????"), given);
    EXPECT_EQ(backing, (std::vector<std::uint16_t>{1, 1, 1, 1, G, G, G, G}));

    backing.assign(8, G);
    DecodeWords(AREA_DR, 5, true, Bytes("11112222333344445555"), std::span(backing.data(), 2));
    EXPECT_EQ(backing, (std::vector<std::uint16_t>{0x1111, 0x2222, G, G, G, G, G, G}));

    backing.assign(8, G);
    DecodeBits(8, true, Bytes("f??1>\r"), std::span(backing.data(), 3));
    EXPECT_EQ(backing, (std::vector<std::uint16_t>{1, 1, 1, G, G, G, G, G}));

    // A single value needs slot 1; with one slot only nothing is stored.
    backing.assign(8, G);
    DecodeWords(AREA_DR, 1, false, Bytes("p12340:\r"), std::span(backing.data(), 1));
    DecodeBits(1, true, Bytes("f0101\r"), std::span(backing.data(), 1));
    EXPECT_EQ(backing, std::vector<std::uint16_t>(8, G));
}

TEST(DecodeBounds, TransferSlotsCoverWhatAReadStores) {
    std::vector<std::uint16_t> values(16, G);
    EXPECT_EQ(TransferSlots(Transfer(1, AREA_DR, 0, 1, DATA_TYPE_WORD, values.data())).size(), 2u);
    EXPECT_EQ(TransferSlots(Transfer(1, AREA_IO, 0, 0, DATA_TYPE_BIT, values.data())).size(), 2u);
    EXPECT_EQ(TransferSlots(Transfer(1, AREA_IO, 0, 3, DATA_TYPE_BIT, values.data())).size(), 3u);
    EXPECT_EQ(TransferSlots(Transfer(1, AREA_DR, 0, 16, DATA_TYPE_WORD, values.data())).size(), 16u);
    EXPECT_TRUE(TransferSlots(Transfer(1, AREA_DR, 0, 16)).empty());
}

// A write sends slot 1 whatever the count; the fields are their low 16 bits.
TEST(DecodeBounds, TransferFieldsAreWhatTheBuildersGet) {
    std::vector<std::uint16_t> values = {0x5A5A, 0x1234, G};
    const GateTransfer transfer = Transfer(1, 0x10000 + AREA_DR, 0x10007, 0x10003, DATA_TYPE_WORD, values.data());
    EXPECT_EQ(TransferValue(transfer), 0x1234);
    EXPECT_EQ(TransferArea(transfer), AREA_DR);
    EXPECT_EQ(TransferElement(transfer), 7);
    EXPECT_EQ(TransferCount(transfer), 3);
    EXPECT_EQ(TransferValue(Transfer(1, AREA_DR, 0, 1)), 0);
}

}  // namespace
}  // namespace qel::test
