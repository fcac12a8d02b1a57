// Reads through QelMain from simulated FA2 and FA3 controllers: every area,
// single values and blocks, the frames on the line, the values in the host's
// array, and the station selection across reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame_text.h"
#include "rig.h"
#include "support/case_name.h"

namespace e2e {
namespace {

TEST(FrameText, MatchesTheProtocolExamples) {
    EXPECT_EQ(f::Select(0), "`0000\r");
    EXPECT_EQ(f::Select(12), "`0<0<\r");
    EXPECT_EQ(f::Select(255), "`??1>\r");
    EXPECT_EQ(f::ReadElement('4', 5), "R40509\r");
    EXPECT_EQ(f::ReadElement('8', 44), "R82<16\r");
    EXPECT_EQ(f::ReadElement('1', 168), "R1:813\r");
    EXPECT_EQ(f::ReadPreset('Y', 7), "Y0707\r");
    EXPECT_EQ(f::ReadDataBlock(10, 5), "]182140:1:\r");
    EXPECT_EQ(f::ReadBlockFa3("41", 10, 6), "]441000:000619\r");
    EXPECT_EQ(f::ReadBlockFa3("58", 128, 2), "]458008000021;\r");
    EXPECT_EQ(f::WritePreset('T', 5, 1234), "T0504=218\r");
    EXPECT_EQ(f::WritePreset('S', 3, 9999), "S03270?1;\r");
    EXPECT_EQ(f::WriteDataRegister(7, 100), "\\270700641:\r");
    EXPECT_EQ(f::WriteDataRegister(300, 0x1234), "\\282<123422\r");
    EXPECT_EQ(f::WriteBit('9', 168), "[9:81;\r");
    EXPECT_EQ(f::WriteBit('3', 5), "[30508\r");
    EXPECT_EQ(f::WriteHeader('4', "44", 10, 2), "\\444000:000218\r");
    EXPECT_EQ(f::WriteHeader('5', "58", 128, 1), "\\558008000011;\r");
    EXPECT_EQ(f::WriteHeader('5', "4=", 512, 1), "\\54=0200000119\r");
    EXPECT_EQ(f::WordData(0x1234), "341246");
    EXPECT_EQ(f::WordData(100), "640064");
    EXPECT_EQ(f::ForceBit("58", 128, true), "\\658008011<\r");
    EXPECT_EQ(f::ForceBit("4=", 0, false), "\\64=0000017\r");
}

// ---------------------------------------------------------------------------
// Single values

struct SingleRead {
    const char* name;
    int station;
    const char* gas;
    std::int32_t dataType;
    const char* area;      // the simulator's notation
    unsigned number;       // as written in the gate address
    bool byteAndBit;       // IO, IR, IM: neighbours are found through the bit numbering
    std::uint16_t stored;  // for bit gates: 1
    std::uint16_t mask;    // TM and CT keep 14 bits
    std::string request;
};

std::vector<SingleRead> SingleReads() {
    const std::int32_t W = DATA_TYPE_WORD;
    const std::int32_t B = DATA_TYPE_BIT;
    return {
        // FA2: ReadElement / ReadPreset, an ElementReply of 8 or 6 characters.
        {"Fa2Tm", kFa2, "001TM0005", W, "TM", 5, false, 0xC005, 0x3FFF, f::ReadElement('4', 5)},
        {"Fa2Ct", kFa2, "001CT0046", W, "CT", 46, false, 0x4123, 0x3FFF, f::ReadElement('5', 46)},
        {"Fa2DrLow", kFa2, "001DR0010", W, "DR", 10, false, 0xC005, 0xFFFF, f::ReadElement('7', 10)},
        {"Fa2DrHigh", kFa2, "001DR0300", W, "DR", 300, false, 0xBEEF, 0xFFFF, f::ReadElement('8', 44)},
        {"Fa2DrLast", kFa2, "001dr399", W, "DR", 399, false, 0x0102, 0xFFFF, f::ReadElement('8', 143)},
        {"Fa2Cp", kFa2, "001CP0005", W, "CP", 5, false, 0x1234, 0xFFFF, f::ReadPreset('Z', 5)},
        {"Fa2Tp", kFa2, "001TP0079", W, "TP", 79, false, 0x270F, 0xFFFF, f::ReadPreset('Y', 79)},
        {"Fa2IoLow", kFa2, "001IO0157", B, "IO", 157, true, 1, 0xFFFF, f::ReadElement('1', 127)},
        {"Fa2IoHigh", kFa2, "001IO0250", B, "IO", 250, true, 1, 0xFFFF, f::ReadElement('1', 168)},
        {"Fa2IrLow", kFa2, "001IR0400", B, "IR", 400, true, 1, 0xFFFF, f::ReadElement('2', 0)},
        {"Fa2IrMid", kFa2, "001IR2200", B, "IR", 2200, true, 1, 0xFFFF, f::ReadElement('>', 128)},
        {"Fa2IrExt", kFa2, "001IR2697", B, "IR", 2697, true, 1, 0xFFFF, f::ReadElement('?', 239)},
        {"Fa2Sr", kFa2, "001SR0127", B, "SR", 127, false, 1, 0xFFFF, f::ReadElement('3', 127)},
        // FA3: ReadBlockFa3, an Ack and the data of one element.
        {"Fa3Tm", kFa3, "002TM0255", W, "TM", 255, false, 0xC005, 0x3FFF, f::ReadBlockFa3("41", 255, 2)},
        {"Fa3Ct", kFa3, "002CT0102", W, "CT", 102, false, 0xFFFF, 0x3FFF, f::ReadBlockFa3("42", 102, 2)},
        {"Fa3Dr", kFa3, "002DR0999", W, "DR", 999, false, 0xBEEF, 0xFFFF, f::ReadBlockFa3("44", 999, 2)},
        {"Fa3Cp", kFa3, "002CP0048", W, "CP", 48, false, 0x1234, 0xFFFF, f::ReadBlockFa3("43", 48, 2)},
        {"Fa3Tp", kFa3, "002tp0200", W, "TP", 200, false, 0x8001, 0xFFFF, f::ReadBlockFa3("54", 200, 2)},
        {"Fa3IoGroup1", kFa3, "002IO0157", B, "IO", 157, true, 1, 0xFFFF, f::ReadBlockFa3("58", 127, 1)},
        {"Fa3IoGroup2", kFa3, "002IO0200", B, "IO", 200, true, 1, 0xFFFF, f::ReadBlockFa3("59", 0, 1)},
        {"Fa3IoGroup1High", kFa3, "002IO2000", B, "IO", 2000, true, 1, 0xFFFF, f::ReadBlockFa3("58", 128, 1)},
        {"Fa3IoGroup2High", kFa3, "002IO2357", B, "IO", 2357, true, 1, 0xFFFF, f::ReadBlockFa3("59", 255, 1)},
        {"Fa3IrLow", kFa3, "002IR0400", B, "IR", 400, true, 1, 0xFFFF, f::ReadBlockFa3("4=", 0, 1)},
        {"Fa3IrExt", kFa3, "002IR2697", B, "IR", 2697, true, 1, 0xFFFF, f::ReadBlockFa3("4=", 495, 1)},
        {"Fa3ImFirst", kFa3, "002IM0640", B, "IM", 640, true, 1, 0xFFFF, f::ReadBlockFa3("4=", 512, 1)},
        {"Fa3ImLast", kFa3, "002IM1317", B, "IM", 1317, true, 1, 0xFFFF, f::ReadBlockFa3("4=", 1055, 1)},
        {"Fa3ImAsIr", kFa3, "002IM0400", B, "IR", 400, true, 1, 0xFFFF, f::ReadBlockFa3("4=", 0, 1)},
        {"Fa3Sr", kFa3, "002SR0223", B, "SR", 223, false, 1, 0xFFFF, f::ReadBlockFa3("52", 223, 1)},
    };
}

class SingleReadTest : public ::testing::TestWithParam<SingleRead> {};

// Puts `value` at the gate's element and the opposite value at the elements
// on either side, so that a read of the wrong bit shows.
void SetBitWithNeighbours(fasim::Simulator& sim, const SingleRead& row, std::uint16_t value) {
    ASSERT_TRUE(sim.Set(row.station, row.area, row.number, value)) << row.area << " " << row.number;
    const std::uint16_t other = value != 0 ? 0 : 1;
    if (row.byteAndBit) {
        const unsigned linear = LinearBit(row.number);
        if (linear > 0) sim.Set(row.station, row.area, WrittenBit(linear - 1), other);
        sim.Set(row.station, row.area, WrittenBit(linear + 1), other);
    } else {
        if (row.number > 0) sim.Set(row.station, row.area, row.number - 1, other);
        sim.Set(row.station, row.area, row.number + 1, other);
    }
}

TEST_P(SingleReadTest, StoresTheControllersValueInSlotOne) {
    const SingleRead& row = GetParam();
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define(row.gas, row.dataType);
    ASSERT_EQ(gate.checkResult, 0);
    const bool bit = row.dataType == DATA_TYPE_BIT;

    // First read: the station is selected, then the request goes out.
    if (bit) {
        SetBitWithNeighbours(rig.Sim(), row, 1);
    } else {
        ASSERT_TRUE(rig.Sim().Set(row.station, row.area, row.number, row.stored));
    }
    EXPECT_EQ(rig.Read(gate), 0);
    EXPECT_EQ(gate.Slot(1), bit ? 1 : (row.stored & row.mask));
    EXPECT_EQ(gate.Slot(0), kUntouched);
    EXPECT_EQ(gate.Slot(2), kUntouched);
    const Frames first{f::Select(static_cast<unsigned>(row.station)), row.request};
    const Frames sent = rig.Sent();
    EXPECT_EQ(sent, first) << Readable(sent);
    EXPECT_TRUE(rig.Log().Lines().empty());
    EXPECT_EQ(rig.LastStation(), row.station);

    // Second read, with QEL_READ: the station is the last selected one, so the
    // request is the first frame on the line.
    rig.Forget();
    gate.ResetSlots();
    const std::uint16_t second = static_cast<std::uint16_t>(row.stored ^ 0x5AA5);
    if (bit) {
        SetBitWithNeighbours(rig.Sim(), row, 0);
    } else {
        ASSERT_TRUE(rig.Sim().Set(row.station, row.area, row.number, second));
    }
    EXPECT_EQ(rig.ReadSingle(gate), 0);
    EXPECT_EQ(gate.Slot(1), bit ? 0 : (second & row.mask));
    EXPECT_EQ(gate.Slot(0), kUntouched);
    const Frames again = rig.Sent();
    EXPECT_EQ(again, Frames{row.request}) << Readable(again);
    EXPECT_TRUE(rig.Log().Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(EveryArea, SingleReadTest, ::testing::ValuesIn(SingleReads()),
                         testsupport::CaseName<SingleRead>);

// ---------------------------------------------------------------------------
// Blocks

struct BlockRead {
    const char* name;
    int station;
    const char* gas;
    std::int32_t dataType;
    std::int32_t count;
    const char* area;
    unsigned first;      // written number of the first element
    bool byteAndBit;
    std::uint16_t mask;
    std::string request;
};

std::vector<BlockRead> BlockReads() {
    const std::int32_t W = DATA_TYPE_WORD;
    const std::int32_t B = DATA_TYPE_BIT;
    return {
        // FA2 data registers: ReadDataBlock, an Ack and 4 characters a word.
        {"Fa2Dr10", kFa2, "001DR0010", W, 10, "DR", 10, false, 0xFFFF, f::ReadDataBlock(10, 10)},
        {"Fa2Dr100", kFa2, "001DR0300", W, 100, "DR", 300, false, 0xFFFF, f::ReadDataBlock(300, 100)},
        {"Fa2Dr2", kFa2, "001DR0000", W, 2, "DR", 0, false, 0xFFFF, f::ReadDataBlock(0, 2)},
        // FA2 bits: eight at a time through ReadElement, one byte in the reply.
        {"Fa2Io8", kFa2, "001IO0010", B, 8, "IO", 10, true, 0xFFFF, f::ReadElement('1', 8)},
        {"Fa2Io8High", kFa2, "001IO0250", B, 8, "IO", 250, true, 0xFFFF, f::ReadElement('1', 168)},
        {"Fa2Ir8Low", kFa2, "001IR0400", B, 8, "IR", 400, true, 0xFFFF, f::ReadElement('2', 0)},
        {"Fa2Ir8Mid", kFa2, "001IR2200", B, 8, "IR", 2200, true, 0xFFFF, f::ReadElement('>', 128)},
        {"Fa2Ir8Ext", kFa2, "001IR2410", B, 8, "IR", 2410, true, 0xFFFF, f::ReadElement('?', 8)},
        {"Fa2Sr8", kFa2, "001SR0016", B, 8, "SR", 16, false, 0xFFFF, f::ReadElement('3', 16)},
        // FA3: ReadBlockFa3 for every area.
        {"Fa3Dr10", kFa3, "002DR0010", W, 10, "DR", 10, false, 0xFFFF, f::ReadBlockFa3("44", 10, 20)},
        {"Fa3Dr100", kFa3, "002DR0900", W, 100, "DR", 900, false, 0xFFFF, f::ReadBlockFa3("44", 900, 200)},
        {"Fa3Tm5", kFa3, "002TM0250", W, 5, "TM", 250, false, 0x3FFF, f::ReadBlockFa3("41", 250, 10)},
        {"Fa3Ct4", kFa3, "002CT0048", W, 4, "CT", 48, false, 0x3FFF, f::ReadBlockFa3("42", 48, 8)},
        {"Fa3Cp3", kFa3, "002CP0100", W, 3, "CP", 100, false, 0xFFFF, f::ReadBlockFa3("43", 100, 6)},
        {"Fa3Tp2", kFa3, "002TP0000", W, 2, "TP", 0, false, 0xFFFF, f::ReadBlockFa3("54", 0, 4)},
        {"Fa3Io16Group1", kFa3, "002IO0000", B, 16, "IO", 0, true, 0xFFFF, f::ReadBlockFa3("58", 0, 2)},
        {"Fa3Io16Group2", kFa3, "002IO0200", B, 16, "IO", 200, true, 0xFFFF, f::ReadBlockFa3("59", 0, 2)},
        {"Fa3Io16Group1High", kFa3, "002IO2000", B, 16, "IO", 2000, true, 0xFFFF, f::ReadBlockFa3("58", 128, 2)},
        {"Fa3Io16Group2High", kFa3, "002IO2200", B, 16, "IO", 2200, true, 0xFFFF, f::ReadBlockFa3("59", 128, 2)},
        {"Fa3Io32", kFa3, "002IO0100", B, 32, "IO", 100, true, 0xFFFF, f::ReadBlockFa3("58", 80, 4)},
        {"Fa3Ir16", kFa3, "002IR0400", B, 16, "IR", 400, true, 0xFFFF, f::ReadBlockFa3("4=", 0, 2)},
        {"Fa3Ir16Ext", kFa3, "002IR2400", B, 16, "IR", 2400, true, 0xFFFF, f::ReadBlockFa3("4=", 256, 2)},
        {"Fa3Im16", kFa3, "002IM0640", B, 16, "IM", 640, true, 0xFFFF, f::ReadBlockFa3("4=", 512, 2)},
        {"Fa3Sr16", kFa3, "002SR0200", B, 16, "SR", 200, false, 0xFFFF, f::ReadBlockFa3("52", 200, 2)},
    };
}

class BlockReadTest : public ::testing::TestWithParam<BlockRead> {};

std::uint16_t WordPattern(int i) { return static_cast<std::uint16_t>(0xC000u | (static_cast<unsigned>(i) * 0x0123u + 7u)); }
std::uint16_t BitPattern(int i) { return static_cast<std::uint16_t>(((i % 3) == 0) != (((i / 8) % 2) == 1)); }

TEST_P(BlockReadTest, FillsOneSlotPerElement) {
    const BlockRead& row = GetParam();
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define(row.gas, row.dataType, row.count, true);
    ASSERT_EQ(gate.checkResult, 0);
    const bool bit = row.dataType == DATA_TYPE_BIT;

    for (int i = 0; i < row.count; ++i) {
        const unsigned number = row.byteAndBit ? WrittenBit(LinearBit(row.first) + static_cast<unsigned>(i))
                                               : row.first + static_cast<unsigned>(i);
        ASSERT_TRUE(rig.Sim().Set(row.station, row.area, number, bit ? BitPattern(i) : WordPattern(i)))
            << row.area << " " << number;
    }
    EXPECT_EQ(rig.Read(gate), 0);
    for (int i = 0; i < row.count; ++i) {
        const auto slot = static_cast<std::size_t>(i);
        const std::uint16_t expected = bit ? BitPattern(i) : static_cast<std::uint16_t>(WordPattern(i) & row.mask);
        EXPECT_EQ(gate.Slot(slot), expected) << "slot " << i;
    }
    for (std::size_t slot = static_cast<std::size_t>(row.count); slot < gate.values.size(); ++slot) {
        EXPECT_EQ(gate.Slot(slot), kUntouched) << "slot " << slot << " lies past the block";
    }
    const Frames sent = rig.Sent();
    EXPECT_EQ(sent, (Frames{f::Select(static_cast<unsigned>(row.station)), row.request})) << Readable(sent);
    EXPECT_TRUE(rig.Log().Lines().empty());
    EXPECT_EQ(rig.LastStation(), row.station);
}

INSTANTIATE_TEST_SUITE_P(EveryArea, BlockReadTest, ::testing::ValuesIn(BlockReads()),
                         testsupport::CaseName<BlockRead>);

// ---------------------------------------------------------------------------
// Station selection across reads and writes

TEST(ReadSelection, SelectsOnlyWhenTheStationChanges) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate fa2 = rig.Define("001DR0001", DATA_TYPE_WORD);
    Gate fa3 = rig.Define("002DR0001", DATA_TYPE_WORD);
    rig.Sim().Set(kFa2, "DR", 1, 111);
    rig.Sim().Set(kFa3, "DR", 1, 222);

    EXPECT_EQ(rig.Read(fa2), 0);
    EXPECT_EQ(rig.Read(fa2), 0);
    EXPECT_EQ(rig.Read(fa3), 0);
    EXPECT_EQ(fa3.Slot(1), 222);
    EXPECT_EQ(rig.Read(fa3), 0);
    EXPECT_EQ(rig.Write(fa3, 333), 0);  // a write to the selected station: no selection either
    EXPECT_EQ(rig.Read(fa2), 0);
    EXPECT_EQ(fa2.Slot(1), 111);
    EXPECT_EQ(rig.Sim().Get(kFa3, "DR", 1), 333);

    const std::string readFa2 = f::ReadElement('7', 1);
    const std::string readFa3 = f::ReadBlockFa3("44", 1, 2);
    const Frames expected{f::Select(1),  readFa2, readFa2, f::Select(2), readFa3, readFa3,
                          f::WriteHeader('4', "44", 1, 2), f::WordData(333), f::Select(1), readFa2};
    const Frames sent = rig.Sent();
    EXPECT_EQ(sent, expected) << Readable(sent);
    EXPECT_EQ(rig.LastStation(), kFa2);
}

// A Nak to the request on the Ack path: five attempts, each selecting the
// station again (the read does not change lastStation until it ends) and each
// logging the Nak; result 1. A failed read leaves no station selected, so
// the next read selects again; so does the first read after a warm start.
TEST(ReadSelection, NakOnTheAckPathThenTheNextReadSelectsAgain) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    // 100 registers from 950 run past the end of the controller's 1000: it
    // answers with a Nak, code '3'.
    Gate beyond = rig.Define("002dr0950", DATA_TYPE_WORD, 100);
    Gate inside = rig.Define("002DR0010", DATA_TYPE_WORD);
    rig.Sim().Set(kFa3, "DR", 10, 0x4321);

    EXPECT_EQ(rig.Read(beyond), 1);
    const std::string request = f::ReadBlockFa3("44", 950, 200);
    Frames expected;
    for (int i = 0; i < 5; ++i) {
        expected.push_back(f::Select(2));
        expected.push_back(request);
    }
    const Frames sent = rig.Sent();
    EXPECT_EQ(sent, expected) << Readable(sent);
    const std::vector<LogLine> lines{NakReceived('3'), ReadRetry("002DR0950", 1), NakReceived('3'),
                                     ReadRetry("002DR0950", 2), NakReceived('3'), ReadRetry("002DR0950", 3),
                                     NakReceived('3'), ReadRetry("002DR0950", 4), NakReceived('3'),
                                     ReadFailed("002dr0950", 1)};
    EXPECT_EQ(rig.Log().Lines(), lines);
    for (std::size_t slot = 0; slot < beyond.values.size(); ++slot) {
        EXPECT_EQ(beyond.Slot(slot), kUntouched) << "a failed read leaves the array alone, slot " << slot;
    }
    // A failed read forgets the selection: the next read selects again.
    EXPECT_EQ(rig.LastStation(), NO_STATION);

    rig.Forget();
    EXPECT_EQ(rig.Read(inside), 0);
    EXPECT_EQ(inside.Slot(1), 0x4321);
    EXPECT_EQ(rig.Sent(), (Frames{f::Select(kFa3), f::ReadBlockFa3("44", 10, 2)}));
    EXPECT_EQ(rig.LastStation(), kFa3);

    rig.Forget();
    EXPECT_EQ(rig.WarmStart(), 0);
    EXPECT_EQ(rig.Log().Lines(), std::vector<LogLine>{Info("DAVEV: Warm start QEL 1")});
    EXPECT_EQ(rig.LastStation(), NO_STATION);
    EXPECT_TRUE(rig.Sent().empty());
    inside.ResetSlots();
    EXPECT_EQ(rig.Read(inside), 0);
    EXPECT_EQ(inside.Slot(1), 0x4321);
    EXPECT_EQ(rig.Sent(), (Frames{f::Select(2), f::ReadBlockFa3("44", 10, 2)}));
}

// Paced at 9600 baud the exchange takes the line's real time; the read still
// completes, and a DR block of 100 words (400 data characters) arrives whole.
TEST(ReadPacing, PacedLineDeliversAFullBlock) {
    RigSetup setup;
    setup.paced = true;
    setup.readTimeout = 100;
    Rig rig(setup);
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define("001DR0000", DATA_TYPE_WORD, 100);
    for (unsigned i = 0; i < 100; ++i) rig.Sim().Set(kFa2, "DR", i, static_cast<std::uint16_t>(i * 0x0101u));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.Read(gate), 0);
    // 6 + 11 characters sent and echoed, 4 + 4 + 400 + 3 received: about 0.5 s
    // at 11 bits a character.
    EXPECT_GT(SecondsSince(start), 0.3);
    EXPECT_LT(SecondsSince(start), 5.0);
    for (unsigned i = 0; i < 100; ++i) EXPECT_EQ(gate.Slot(i), static_cast<std::uint16_t>(i * 0x0101u)) << i;
    EXPECT_EQ(gate.Slot(100), kUntouched);
}

// A controller that answers after a pause shorter than the read time-out is
// waited for; the pause only stretches the exchange.
TEST(ReadPacing, SlowControllerWithinTheTimeOut) {
    RigSetup setup;
    setup.turnaroundMs = 120;  // the read time-out is 200 ms
    Rig rig(setup);
    ASSERT_TRUE(rig.Ready());
    Gate fa2 = rig.Define("001TM0001", DATA_TYPE_WORD);
    Gate fa3 = rig.Define("002TM0001", DATA_TYPE_WORD, 2);
    rig.Sim().Set(kFa2, "TM", 1, 0x0777);
    rig.Sim().Set(kFa3, "TM", 1, 0x0888);
    rig.Sim().Set(kFa3, "TM", 2, 0x0999);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.Read(fa2), 0);
    EXPECT_EQ(rig.Read(fa3), 0);
    EXPECT_GE(SecondsSince(start), 4 * 0.12);  // two selections and two requests answered
    EXPECT_EQ(fa2.Slot(1), 0x0777);
    EXPECT_EQ(fa3.Slot(0), 0x0888);
    EXPECT_EQ(fa3.Slot(1), 0x0999);
    EXPECT_TRUE(rig.Log().Lines().empty());
}

// A station whose model text is neither "FA2" nor "FA3" (the station model
// file keeps "fa3" as written): it is sent the FA3 request, but only a DR
// block is read on the Ack path; anything else has no reply length and each
// attempt ends with 2. Writes take the FA3 path.
TEST(OtherModelText, FramesOfFa3RepliesOfFa2) {
    RigSetup setup;
    setup.stations = {{4, Model::FA3}};
    setup.modelFile = "004fa3\n";
    Rig rig(setup);
    ASSERT_TRUE(rig.Ready());
    ASSERT_STREQ(rig.Workspace().stationModel[4], "fa3");
    for (unsigned i = 0; i < 10; ++i) rig.Sim().Set(4, "DR", i, static_cast<std::uint16_t>(100 + i));
    Gate block = rig.Define("004DR0000", DATA_TYPE_WORD, 10);
    Gate single = rig.Define("004DR0000", DATA_TYPE_WORD);
    Gate word = rig.Define("004DR0500", DATA_TYPE_WORD);

    EXPECT_EQ(rig.Read(block), 0);
    for (unsigned i = 0; i < 10; ++i) EXPECT_EQ(block.Slot(i), 100 + i) << i;
    EXPECT_EQ(rig.Sent(), (Frames{f::Select(4), f::ReadBlockFa3("44", 0, 20)}));

    rig.Forget();
    EXPECT_EQ(rig.Write(word, 0x2468), 0);
    EXPECT_EQ(rig.Sim().Get(4, "DR", 500), 0x2468);
    EXPECT_EQ(rig.Sent(), (Frames{f::WriteHeader('4', "44", 500, 2), f::WordData(0x2468)}));

    rig.Forget();
    EXPECT_EQ(rig.Read(single), 2);
    EXPECT_EQ(single.Slot(1), kUntouched);
    // Result 2 forgets the selection, so every retry selects again.
    Frames expected{f::ReadBlockFa3("44", 0, 2)};
    for (int retry = 0; retry < 4; ++retry) {
        expected.push_back(f::Select(4));
        expected.push_back(f::ReadBlockFa3("44", 0, 2));
    }
    EXPECT_EQ(rig.Sent(), expected);
    const std::vector<LogLine> lines{ReadRetry("004DR0000", 1), ReadRetry("004DR0000", 2), ReadRetry("004DR0000", 3),
                                     ReadRetry("004DR0000", 4), ReadFailed("004DR0000", 2)};
    EXPECT_EQ(rig.Log().Lines(), lines);
}

}  // namespace
}  // namespace e2e
