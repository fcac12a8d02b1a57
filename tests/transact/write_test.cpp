// Writes through QelMain to simulated FA2 and FA3 controllers: every writable
// area, the frames on the line, the controller's memory afterwards, the range
// check of preset values and the read-only gates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame_text.h"
#include "rig.h"
#include "support/case_name.h"

namespace e2e {
namespace {

struct WriteCase {
    const char* name;
    int station;
    const char* gas;
    std::int32_t dataType;
    std::uint16_t value;
    const char* area;     // the simulator's notation
    unsigned number;      // as written in the gate address
    std::uint16_t before; // the controller's memory before the write
    std::uint16_t after;  // and after it
    Frames frames;        // what follows the station selection
};

std::vector<WriteCase> WriteCases() {
    const std::int32_t W = DATA_TYPE_WORD;
    const std::int32_t B = DATA_TYPE_BIT;
    return {
        // FA2: one frame, its echo, an Ack.
        {"Fa2DrLow", kFa2, "001DR0007", W, 100, "DR", 7, 0xFFFF, 100, {"\\270700641:\r"}},
        {"Fa2DrHigh", kFa2, "001DR0300", W, 0x1234, "DR", 300, 0, 0x1234, {"\\282<123422\r"}},
        {"Fa2DrNoRangeCheck", kFa2, "001dr0005", W, 10000, "DR", 5, 0, 10000, {f::WriteDataRegister(5, 10000)}},
        {"Fa2DrLast", kFa2, "001DR0399", W, 0xFFFF, "DR", 399, 0, 0xFFFF, {f::WriteDataRegister(399, 0xFFFF)}},
        {"Fa2Cp", kFa2, "001CP0005", W, 1234, "CP", 5, 0, 1234, {"T0504=218\r"}},
        {"Fa2CpMaximum", kFa2, "001CP0046", W, 9999, "CP", 46, 0, 9999, {f::WritePreset('T', 46, 9999)}},
        {"Fa2Tp", kFa2, "001TP0003", W, 9999, "TP", 3, 0, 9999, {"S03270?1;\r"}},
        {"Fa2TpZero", kFa2, "001TP0079", W, 0, "TP", 79, 77, 0, {f::WritePreset('S', 79, 0)}},
        {"Fa2IoSet", kFa2, "001IO0250", B, 1, "IO", 250, 0, 1, {"[9:81;\r"}},
        {"Fa2IoReset", kFa2, "001IO0250", B, 0, "IO", 250, 1, 0, {"[1:813\r"}},
        {"Fa2IoTwoResets", kFa2, "001IO0250", B, 2, "IO", 250, 1, 0, {"[1:813\r"}},
        {"Fa2IoLow", kFa2, "001IO0157", B, 1, "IO", 157, 0, 1, {f::WriteBit('9', 127)}},
        {"Fa2IrLowSet", kFa2, "001IR0400", B, 1, "IR", 400, 0, 1, {f::WriteBit(':', 0)}},
        {"Fa2IrLowReset", kFa2, "001IR0697", B, 0, "IR", 697, 1, 0, {f::WriteBit('2', 239)}},
        {"Fa2IrMidSet", kFa2, "001IR2200", B, 1, "IR", 2200, 0, 1, {f::WriteBit('<', 128)}},
        {"Fa2IrMidReset", kFa2, "001IR2357", B, 0, "IR", 2357, 1, 0, {f::WriteBit('4', 255)}},
        {"Fa2IrExtSet", kFa2, "001IR2400", B, 1, "IR", 2400, 0, 1, {"[=000=\r"}},
        {"Fa2IrExtReset", kFa2, "001IR2697", B, 0, "IR", 2697, 1, 0, {f::WriteBit('5', 239)}},
        {"Fa2SrSet", kFa2, "001SR0005", B, 1, "SR", 5, 0, 1, {"[;0510\r"}},
        {"Fa2SrReset", kFa2, "001SR0005", B, 0, "SR", 5, 1, 0, {"[30508\r"}},
        // FA3: the header, its echo and Ack, then the data message, its echo and Ack.
        {"Fa3Dr", kFa3, "002DR0010", W, 0x1234, "DR", 10, 0, 0x1234, {"\\444000:000218\r", "341246"}},
        {"Fa3DrLast", kFa3, "002DR0999", W, 100, "DR", 999, 0, 100, {f::WriteHeader('4', "44", 999, 2), "640064"}},
        {"Fa3DrNoRangeCheck", kFa3, "002DR0000", W, 10000, "DR", 0, 0, 10000,
         {f::WriteHeader('4', "44", 0, 2), f::WordData(10000)}},
        {"Fa3Cp", kFa3, "002CP0048", W, 9999, "CP", 48, 0, 9999, {f::WriteHeader('4', "43", 48, 2), f::WordData(9999)}},
        {"Fa3Tp", kFa3, "002TP0255", W, 0, "TP", 255, 5, 0, {f::WriteHeader('4', "54", 255, 2), "000000"}},
        {"Fa3IoGroup1High", kFa3, "002IO2000", B, 1, "IO", 2000, 0, 1, {"\\558008000011;\r", "0101"}},
        {"Fa3IoGroup1Reset", kFa3, "002IO0157", B, 0, "IO", 157, 1, 0, {f::WriteHeader('5', "58", 127, 1), "0000"}},
        {"Fa3IoGroup2AnyNonZero", kFa3, "002IO0200", B, 7, "IO", 200, 0, 1, {f::WriteHeader('5', "59", 0, 1), "0101"}},
        {"Fa3IoGroup2High", kFa3, "002IO2357", B, 1, "IO", 2357, 0, 1, {f::WriteHeader('5', "59", 255, 1), "0101"}},
        {"Fa3IrLow", kFa3, "002IR0400", B, 1, "IR", 400, 0, 1, {f::WriteHeader('5', "4=", 0, 1), "0101"}},
        {"Fa3IrExt", kFa3, "002IR2697", B, 5, "IR", 2697, 0, 1, {f::WriteHeader('5', "4=", 495, 1), "0101"}},
        {"Fa3ImFirst", kFa3, "002IM0640", B, 1, "IM", 640, 0, 1, {"\\54=0200000119\r", "0101"}},
        {"Fa3ImLast", kFa3, "002IM1317", B, 0, "IM", 1317, 1, 0, {f::WriteHeader('5', "4=", 1055, 1), "0000"}},
        {"Fa3SrSet", kFa3, "002SR0223", B, 1, "SR", 223, 0, 1, {f::WriteHeader('5', "52", 223, 1), "0101"}},
        {"Fa3SrReset", kFa3, "002sr0000", B, 0, "SR", 0, 1, 0, {f::WriteHeader('5', "52", 0, 1), "0000"}},
    };
}

class WriteTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteTest, ReachesTheControllersMemory) {
    const WriteCase& row = GetParam();
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define(row.gas, row.dataType);
    ASSERT_EQ(gate.checkResult, 0);
    ASSERT_TRUE(rig.Sim().Set(row.station, row.area, row.number, row.before));

    EXPECT_EQ(rig.Write(gate, row.value), 0);
    EXPECT_EQ(rig.Sim().Get(row.station, row.area, row.number), row.after);
    Frames expected{f::Select(static_cast<unsigned>(row.station))};
    expected.insert(expected.end(), row.frames.begin(), row.frames.end());
    const Frames sent = rig.Sent();
    EXPECT_EQ(sent, expected) << Readable(sent);
    EXPECT_TRUE(rig.Log().Lines().empty());
    EXPECT_EQ(rig.LastStation(), row.station);
    EXPECT_EQ(gate.Slot(0), kUntouched);
    EXPECT_EQ(gate.Slot(1), row.value) << "a write leaves the host's value alone";

    // Again, now that the station is selected: the same frames, no selection.
    rig.Forget();
    ASSERT_TRUE(rig.Sim().Set(row.station, row.area, row.number, row.before));
    EXPECT_EQ(rig.Write(gate, row.value), 0);
    EXPECT_EQ(rig.Sim().Get(row.station, row.area, row.number), row.after);
    EXPECT_EQ(rig.Sent(), row.frames);
}

INSTANTIATE_TEST_SUITE_P(EveryArea, WriteTest, ::testing::ValuesIn(WriteCases()), testsupport::CaseName<WriteCase>);

// ---------------------------------------------------------------------------
// Read-only gates: no frame, five attempts, each selecting the station again
// because the write changes lastStation only when it ends, and a failed write
// leaves no station selected.

struct ReadOnlyCase {
    const char* name;
    int station;
    const char* gas;
    const char* upper;
    bool block;  // WO passes only the block check
};

class ReadOnlyTest : public ::testing::TestWithParam<ReadOnlyCase> {};

TEST_P(ReadOnlyTest, LogsFiveTimesThenFailsWithOne) {
    const ReadOnlyCase& row = GetParam();
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define(row.gas, DATA_TYPE_WORD, 1, row.block);
    ASSERT_EQ(gate.checkResult, 0);

    EXPECT_EQ(rig.Write(gate, 5), 1);
    std::vector<LogLine> lines(5, ReadOnly(row.upper));
    lines.push_back(WriteFailed(row.upper, 1));
    EXPECT_EQ(rig.Log().Lines(), lines);
    const Frames sent = rig.Sent();
    EXPECT_EQ(sent, Frames(5, f::Select(static_cast<unsigned>(row.station)))) << Readable(sent);
    EXPECT_EQ(rig.LastStation(), NO_STATION);
}

INSTANTIATE_TEST_SUITE_P(Gates, ReadOnlyTest,
                         ::testing::Values(ReadOnlyCase{"Fa2Tm", kFa2, "001tm0005", "001TM0005", false},
                                           ReadOnlyCase{"Fa2Ct", kFa2, "001CT0046", "001CT0046", false},
                                           ReadOnlyCase{"Fa3Ct", kFa3, "002ct0048", "002CT0048", false},
                                           ReadOnlyCase{"Fa3Wo", kFa3, "002WO0010", "002WO0010", true}),
                         testsupport::CaseName<ReadOnlyCase>);

// ---------------------------------------------------------------------------
// The range check of preset values: once, before any traffic.

struct RangeCase {
    const char* name;
    int station;
    const char* gas;
    const char* upper;
    std::uint16_t value;
};

class PresetRangeTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(PresetRangeTest, RefusesAboveNineThousandNineHundredNinetyNine) {
    const RangeCase& row = GetParam();
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define(row.gas, DATA_TYPE_WORD);
    ASSERT_EQ(gate.checkResult, 0);

    EXPECT_EQ(rig.Write(gate, row.value), 1);
    EXPECT_EQ(rig.Log().Lines(), std::vector<LogLine>{OutOfRange(row.upper)});
    EXPECT_TRUE(rig.Sent().empty());
    EXPECT_EQ(rig.LastStation(), NO_STATION);

    // With another station selected, the refusal leaves that selection alone.
    Gate other = rig.Define("001DR0000", DATA_TYPE_WORD);
    ASSERT_EQ(rig.Read(other), 0);
    rig.Forget();
    EXPECT_EQ(rig.Write(gate, row.value), 1);
    EXPECT_TRUE(rig.Sent().empty());
    EXPECT_EQ(rig.LastStation(), kFa2);
    EXPECT_EQ(rig.Read(other), 0);
    EXPECT_EQ(rig.Sent(), Frames{f::ReadElement('7', 0)});
}

INSTANTIATE_TEST_SUITE_P(Presets, PresetRangeTest,
                         ::testing::Values(RangeCase{"Fa2Cp10000", kFa2, "001cp0005", "001CP0005", 10000},
                                           RangeCase{"Fa2TpMaximum", kFa2, "001TP0003", "001TP0003", 0xFFFF},
                                           RangeCase{"Fa3Cp10000", kFa3, "002CP0048", "002CP0048", 10000},
                                           RangeCase{"Fa3Tp10000", kFa3, "002tp0001", "002TP0001", 10000}),
                         testsupport::CaseName<RangeCase>);

// The value always comes from slot 1, whatever the block's other slots hold.
TEST(WriteValue, ComesFromSlotOne) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define("001DR0020", DATA_TYPE_WORD);
    gate.values[0] = 0x1111;
    gate.values[2] = 0x2222;
    EXPECT_EQ(rig.Write(gate, 0x3333), 0);
    EXPECT_EQ(rig.Sim().Get(kFa2, "DR", 20), 0x3333);
    EXPECT_EQ(rig.Sim().Get(kFa2, "DR", 21), 0);
}

}  // namespace
}  // namespace e2e
