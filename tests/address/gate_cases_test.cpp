// The gate address cases the checks must get right, one table per concern.
// Each row names the GAS, the data type, the count, the station's model, the
// operation, and everything the check is to leave in the GateDefinition.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>

#include "gate_fixture.h"

namespace qel::test {
namespace {

constexpr std::int32_t WORD = DATA_TYPE_WORD;
constexpr std::int32_t BIT = DATA_TYPE_BIT;
constexpr std::int32_t GATE = QEL_CHECK_GATE;
constexpr std::int32_t BLOCK = QEL_CHECK_BLOCK;
constexpr std::int32_t OK = 0;
constexpr std::int32_t NO = 1;
// The element the host had before the check; "kept" rows expect it unchanged.
constexpr std::uint32_t KEPT = UNTOUCHED;

struct GateCase {
    const char* gas;
    std::int32_t dataType;
    std::int32_t count;
    const char* model;
    std::int32_t operation;
    std::int32_t result;
    std::uint32_t station;
    std::uint32_t areaCode;
    std::uint32_t element;
};

std::ostream& operator<<(std::ostream& out, const GateCase& c) {
    return out << (c.operation == BLOCK ? "block " : "gate ") << '"' << c.gas << "\" type " << c.dataType
               << " count " << c.count << " on \"" << c.model << '"';
}

class GateCases : public ::testing::TestWithParam<GateCase> {};

TEST_P(GateCases, StoresWhatTheRulesSay) {
    const GateCase& c = GetParam();
    DriverWorkspace workspace = MakeWorkspace(c.model);
    const CheckOutcome outcome = Check(workspace, c.gas, c.dataType, c.operation, c.count);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.station, c.station);
    EXPECT_EQ(outcome.areaCode, c.areaCode);
    EXPECT_EQ(outcome.element, c.element);
    EXPECT_EQ(outcome.fixedOut1, 255u);
    EXPECT_EQ(outcome.fixedOut2, 16u);
}

// Station digits, length, letter case and the element digits.
INSTANTIATE_TEST_SUITE_P(Syntax, GateCases, ::testing::Values(
    GateCase{"001DR0399", WORD, 1, "FA2", GATE, OK, 1, AREA_DR, 399},
    GateCase{"001dr12", WORD, 1, "FA2", GATE, OK, 1, AREA_DR, 12},
    GateCase{"001DR12", WORD, 1, "FA2", GATE, OK, 1, AREA_DR, 12},
    GateCase{"001Dr0012", WORD, 1, "FA3", GATE, OK, 1, AREA_DR, 12},
    GateCase{"123DR0001", WORD, 1, "FA2", GATE, OK, 123, AREA_DR, 1},
    GateCase{"0001DR0001", WORD, 1, "FA2", GATE, NO, 0, 0, KEPT},
    GateCase{"001DR00001", WORD, 1, "FA3", GATE, NO, 0, 0, KEPT},
    GateCase{"001DR", WORD, 1, "FA2", GATE, OK, 1, AREA_DR, 0},
    GateCase{"001DR12A", WORD, 1, "FA2", GATE, NO, 1, 0, KEPT},
    GateCase{"001DR-12", WORD, 1, "FA2", GATE, NO, 1, 0, KEPT},
    GateCase{"001DR 12", WORD, 1, "FA3", GATE, NO, 1, 0, KEPT},
    GateCase{"01DR0001", WORD, 1, "FA2", GATE, NO, 0, 0, KEPT},
    GateCase{"", WORD, 1, "FA2", GATE, NO, 0, 0, KEPT},
    GateCase{"00", WORD, 1, "FA2", GATE, NO, 0, 0, KEPT},
    GateCase{"001", WORD, 1, "FA2", GATE, NO, 1, 0, 0},
    GateCase{"001D", WORD, 1, "FA3", GATE, NO, 1, 0, 0},
    GateCase{"001XY0001", WORD, 1, "FA2", GATE, NO, 1, 0, 1},
    GateCase{"001XY0001", WORD, 1, "FA3", GATE, NO, 1, 0, 1},
    GateCase{"256DR0001", WORD, 1, "FA2", GATE, NO, 256, 0, KEPT},
    GateCase{"999DR0001", WORD, 1, "FA3", BLOCK, NO, 999, 0, KEPT},
    GateCase{"255DR0001", WORD, 1, "FA2", GATE, OK, 255, AREA_DR, 1},
    GateCase{"000TM0000", WORD, 1, "FA2", GATE, OK, 0, AREA_TM, 0}));

// The word areas TM, CT, DR, CP, TP and their bounds per model.
INSTANTIATE_TEST_SUITE_P(WordAreas, GateCases, ::testing::Values(
    GateCase{"001DR0400", WORD, 1, "FA2", GATE, NO, 1, AREA_DR, 400},
    GateCase{"001DR0400", WORD, 1, "FA3", GATE, OK, 1, AREA_DR, 400},
    GateCase{"001DR0999", WORD, 1, "FA3", GATE, OK, 1, AREA_DR, 999},
    GateCase{"001DR1000", WORD, 1, "FA3", GATE, NO, 1, AREA_DR, 1000},
    GateCase{"001TM0079", WORD, 1, "FA2", GATE, OK, 1, AREA_TM, 79},
    GateCase{"001TM0080", WORD, 1, "FA2", GATE, NO, 1, AREA_TM, 80},
    GateCase{"001TM0255", WORD, 1, "FA3", GATE, OK, 1, AREA_TM, 255},
    GateCase{"001TP0080", WORD, 1, "FA3", GATE, OK, 1, AREA_TP, 80},
    GateCase{"001TP0256", WORD, 1, "FA3", GATE, NO, 1, AREA_TP, 256},
    GateCase{"001CT0046", WORD, 1, "FA2", GATE, OK, 1, AREA_CT, 46},
    GateCase{"001CT0047", WORD, 1, "FA2", GATE, NO, 1, AREA_CT, 47},
    GateCase{"001CT0047", WORD, 1, "FA3", GATE, NO, 1, AREA_CT, 47},
    GateCase{"001CT0048", WORD, 1, "FA3", GATE, OK, 1, AREA_CT, 48},
    GateCase{"001CT0048", WORD, 1, "FA2", GATE, NO, 1, AREA_CT, 48},
    GateCase{"001CT0102", WORD, 1, "FA3", GATE, OK, 1, AREA_CT, 102},
    GateCase{"001CP0047", WORD, 1, "FA3", GATE, NO, 1, AREA_CP, 47},
    GateCase{"001CP0048", WORD, 1, "FA3", GATE, OK, 1, AREA_CP, 48},
    GateCase{"001CP0103", WORD, 1, "FA3", GATE, NO, 1, AREA_CP, 103}));

// IO, IR and IM: byte-and-bit numbering, the bit digit, the IM offset.
INSTANTIATE_TEST_SUITE_P(BitAreas, GateCases, ::testing::Values(
    GateCase{"001IO0157", BIT, 1, "FA2", GATE, OK, 1, AREA_IO, 127},
    GateCase{"001IO0157", BIT, 1, "FA3", GATE, OK, 1, AREA_IO, 127},
    GateCase{"001IO0158", BIT, 1, "FA2", GATE, NO, 1, AREA_IO, 158},
    GateCase{"001IO0160", BIT, 1, "FA2", GATE, NO, 1, AREA_IO, 160},
    GateCase{"001IO0200", BIT, 1, "FA2", GATE, OK, 1, AREA_IO, 160},
    GateCase{"001IO157", BIT, 1, "FA2", GATE, OK, 1, AREA_IO, 127},
    GateCase{"001IO0", BIT, 1, "FA2", GATE, OK, 1, AREA_IO, 0},
    GateCase{"001IO", BIT, 1, "FA2", GATE, NO, 1, AREA_IO, 0},
    GateCase{"001IO", BIT, 1, "FA3", GATE, NO, 1, AREA_IO, 0},
    GateCase{"001IR2200", BIT, 1, "FA2", GATE, OK, 1, AREA_IR, 1760},
    GateCase{"001IR2200", BIT, 1, "FA3", GATE, NO, 1, AREA_IR, 2200},
    GateCase{"001IO2200", BIT, 1, "FA3", GATE, OK, 1, AREA_IO, 1760},
    GateCase{"001IO2200", BIT, 1, "FA2", GATE, NO, 1, AREA_IO, 2200},
    GateCase{"001IR0400", BIT, 1, "FA2", GATE, OK, 1, AREA_IR, 320},
    GateCase{"001IR2697", BIT, 1, "FA3", GATE, OK, 1, AREA_IR, 2159},
    GateCase{"001IM0640", BIT, 1, "FA3", GATE, OK, 1, AREA_IR, 3512},
    GateCase{"001IM1317", BIT, 1, "FA3", GATE, OK, 1, AREA_IR, 4055},
    GateCase{"001IM0640", BIT, 1, "FA2", GATE, NO, 1, AREA_IR, 640},
    GateCase{"001IM1317", BIT, 1, "FA2", GATE, NO, 1, AREA_IR, 1317},
    GateCase{"001IM0400", BIT, 1, "FA3", GATE, OK, 1, AREA_IR, 320},
    GateCase{"001IM2400", BIT, 1, "FA3", GATE, OK, 1, AREA_IR, 1920},
    GateCase{"001im0697", BIT, 1, "FA3", GATE, OK, 1, AREA_IR, 3559},
    GateCase{"001IM0648", BIT, 1, "FA3", GATE, NO, 1, AREA_IR, 648},
    GateCase{"001IM1318", BIT, 1, "FA3", GATE, NO, 1, AREA_IR, 1318},
    GateCase{"001IM1320", BIT, 1, "FA3", GATE, NO, 1, AREA_IR, 1320}));

// SR: bit area with plain decimal numbering.
INSTANTIATE_TEST_SUITE_P(SrArea, GateCases, ::testing::Values(
    GateCase{"001SR0009", BIT, 1, "FA2", GATE, OK, 1, AREA_SR, 9},
    GateCase{"001SR0009", BIT, 1, "FA3", GATE, OK, 1, AREA_SR, 9},
    GateCase{"001SR0127", BIT, 1, "FA2", GATE, OK, 1, AREA_SR, 127},
    GateCase{"001SR0128", BIT, 1, "FA2", GATE, NO, 1, AREA_SR, 128},
    GateCase{"001SR0128", BIT, 1, "FA3", GATE, OK, 1, AREA_SR, 128},
    GateCase{"001SR0223", BIT, 1, "FA3", GATE, OK, 1, AREA_SR, 223},
    GateCase{"001SR0224", BIT, 1, "FA3", GATE, NO, 1, AREA_SR, 224}));

// The data type a single gate must have; WO only as a block gate.
INSTANTIATE_TEST_SUITE_P(DataTypes, GateCases, ::testing::Values(
    GateCase{"001TM0001", BIT, 1, "FA2", GATE, NO, 1, AREA_TM, 1},
    GateCase{"001TM0001", BIT, 1, "FA3", GATE, NO, 1, AREA_TM, 1},
    GateCase{"001TM0001", BIT, 5, "FA3", BLOCK, OK, 1, AREA_TM, 1},
    GateCase{"001IO0001", WORD, 1, "FA2", GATE, NO, 1, AREA_IO, 1},
    GateCase{"001SR0001", WORD, 1, "FA3", GATE, NO, 1, AREA_SR, 1},
    GateCase{"001DR0001", 0x10000, 1, "FA2", GATE, OK, 1, AREA_DR, 1},
    GateCase{"001IO0001", 0x10006, 1, "FA2", GATE, OK, 1, AREA_IO, 1},
    GateCase{"001DR0001", 3, 1, "FA2", GATE, NO, 1, AREA_DR, 1},
    GateCase{"001WO0001", WORD, 1, "FA2", GATE, NO, 1, AREA_WO, 1},
    GateCase{"001WO0001", WORD, 1, "FA3", GATE, NO, 1, AREA_WO, 1},
    GateCase{"001WO0001", BIT, 1, "FA3", GATE, NO, 1, AREA_WO, 1},
    GateCase{"001WO0001", WORD, 10, "FA3", BLOCK, OK, 1, AREA_WO, 1},
    GateCase{"001WO0001", WORD, 10, "FA2", BLOCK, NO, 1, AREA_WO, 1},
    GateCase{"001WO0400", WORD, 10, "FA3", BLOCK, NO, 1, AREA_WO, 400}));

// The FORCE gate of a station that is not an FA2.
INSTANTIATE_TEST_SUITE_P(Force, GateCases, ::testing::Values(
    GateCase{"001FORCE", BIT, 1, "FA3", GATE, OK, 1, AREA_FORCE, KEPT},
    GateCase{"001force", BIT, 1, "FA3", GATE, OK, 1, AREA_FORCE, KEPT},
    GateCase{"001FORCE", WORD, 1, "FA3", GATE, NO, 1, 0, KEPT},
    GateCase{"001FORCE", 0x10006, 1, "FA3", GATE, NO, 1, 0, KEPT},
    GateCase{"001FORCE", BIT, 1, "FA3", BLOCK, NO, 1, 0, KEPT},
    GateCase{"001FORCE", BIT, 8, "FA3", BLOCK, NO, 1, 0, KEPT},
    GateCase{"001FORCE", BIT, 1, "FA2", GATE, NO, 1, 0, KEPT},
    GateCase{"001FORCE1", BIT, 1, "FA3", GATE, NO, 1, 0, KEPT},
    GateCase{"001FORC", BIT, 1, "FA3", GATE, NO, 1, 0, KEPT},
    GateCase{"001FORCE", BIT, 1, "fa3", GATE, OK, 1, AREA_FORCE, KEPT}));

// The block rules of each model.
INSTANTIATE_TEST_SUITE_P(Blocks, GateCases, ::testing::Values(
    GateCase{"001IO0000", BIT, 8, "FA2", BLOCK, OK, 1, AREA_IO, 0},
    GateCase{"001IO0000", BIT, 16, "FA2", BLOCK, NO, 1, AREA_IO, 0},
    GateCase{"001IR0400", WORD, 8, "FA2", BLOCK, OK, 1, AREA_IR, 320},
    GateCase{"001SR0000", BIT, 7, "FA2", BLOCK, NO, 1, AREA_SR, 0},
    GateCase{"001DR0000", WORD, 100, "FA2", BLOCK, OK, 1, AREA_DR, 0},
    GateCase{"001DR0000", WORD, 101, "FA2", BLOCK, NO, 1, AREA_DR, 0},
    GateCase{"001DR0000", WORD, 1, "FA2", BLOCK, OK, 1, AREA_DR, 0},
    GateCase{"001TM0000", WORD, 1, "FA2", BLOCK, NO, 1, AREA_TM, 0},
    GateCase{"001TM0000", WORD, 5, "FA2", BLOCK, NO, 1, AREA_TM, 0},
    GateCase{"001CT0000", WORD, 5, "FA2", BLOCK, NO, 1, AREA_CT, 0},
    GateCase{"001IO0000", BIT, 16, "FA3", BLOCK, OK, 1, AREA_IO, 0},
    // A block of no element, or of fewer, has nothing to transfer.
    GateCase{"001IO0000", BIT, 0, "FA3", BLOCK, NO, 1, AREA_IO, 0},
    GateCase{"001DR0000", WORD, 0, "FA2", BLOCK, NO, 1, AREA_DR, 0},
    GateCase{"001DR0000", WORD, -1, "FA3", BLOCK, NO, 1, AREA_DR, 0},
    GateCase{"001IO0000", BIT, 12, "FA3", BLOCK, NO, 1, AREA_IO, 0},
    GateCase{"001IO0000", BIT, 96, "FA3", BLOCK, OK, 1, AREA_IO, 0},
    GateCase{"001IO0000", BIT, 104, "FA3", BLOCK, NO, 1, AREA_IO, 0},
    GateCase{"001IM0640", BIT, 24, "FA3", BLOCK, OK, 1, AREA_IR, 3512},
    GateCase{"001SR0000", BIT, 12, "FA3", BLOCK, NO, 1, AREA_SR, 0},
    GateCase{"001TM0000", WORD, 5, "FA3", BLOCK, OK, 1, AREA_TM, 0},
    GateCase{"001TM0000", WORD, 101, "FA3", BLOCK, NO, 1, AREA_TM, 0},
    GateCase{"001DR0400", WORD, 10, "FA2", BLOCK, NO, 1, AREA_DR, 400},
    GateCase{"001DR12A", WORD, 10, "FA3", BLOCK, NO, 1, 0, KEPT}));

// Model texts other than "FA2" and "FA3", as a station model file may give
// them: the FA3 ranges apply, FORCE is served, blocks have only the limit.
INSTANTIATE_TEST_SUITE_P(OtherModels, GateCases, ::testing::Values(
    GateCase{"001CT0048", WORD, 1, "fa3", GATE, OK, 1, AREA_CT, 48},
    GateCase{"001DR0400", WORD, 1, "fa3", GATE, OK, 1, AREA_DR, 400},
    GateCase{"001IM0640", BIT, 1, "fa3", GATE, OK, 1, AREA_IR, 3512},
    GateCase{"001IR2200", BIT, 1, "fa3", GATE, NO, 1, AREA_IR, 2200},
    GateCase{"001TM0001", BIT, 1, "fa3", GATE, NO, 1, AREA_TM, 1},
    GateCase{"001IO0000", BIT, 12, "fa3", BLOCK, OK, 1, AREA_IO, 0},
    GateCase{"001TM0000", WORD, 100, "fa3", BLOCK, OK, 1, AREA_TM, 0},
    GateCase{"001TM0000", WORD, 101, "fa3", BLOCK, NO, 1, AREA_TM, 0},
    GateCase{"001FORCE", BIT, 1, "fa3", BLOCK, NO, 1, 0, KEPT},
    GateCase{"001DR0400", WORD, 1, "FA2 ", GATE, OK, 1, AREA_DR, 400},
    GateCase{"001DR0400", WORD, 1, "fa2", GATE, OK, 1, AREA_DR, 400},
    GateCase{"001DR0400", WORD, 1, "FA", GATE, OK, 1, AREA_DR, 400},
    GateCase{"001DR0400", WORD, 1, "", GATE, OK, 1, AREA_DR, 400},
    GateCase{"001IO0000", BIT, 12, "FA3X", BLOCK, OK, 1, AREA_IO, 0}));

// The model is that of the station the GAS names, not of station 0.
TEST(GateModels, TakesTheModelOfTheNamedStation) {
    DriverWorkspace workspace = MakeWorkspace("FA2");
    SetModel(workspace, 7, "FA3");
    EXPECT_EQ(Check(workspace, "007DR0400", WORD, GATE).result, OK);
    EXPECT_EQ(Check(workspace, "006DR0400", WORD, GATE).result, NO);
    EXPECT_EQ(Check(workspace, "008DR0400", WORD, GATE).result, NO);
    EXPECT_EQ(Check(workspace, "007FORCE", BIT, GATE).result, OK);
    EXPECT_EQ(Check(workspace, "000FORCE", BIT, GATE).result, NO);
}

// A slot is five bytes; one filled to the brim has no terminator and is not
// "FA2", and the comparison stays inside the slot.
TEST(GateModels, FullSlotIsNotFa2) {
    DriverWorkspace workspace = MakeWorkspace("FA2");
    std::memcpy(workspace.stationModel[1], "FA2XY", STATION_MODEL_SIZE);
    std::memcpy(workspace.stationModel[2], "FA2\0Y", STATION_MODEL_SIZE);
    EXPECT_EQ(Check(workspace, "001DR0400", WORD, GATE).result, OK);
    EXPECT_EQ(Check(workspace, "002DR0400", WORD, GATE).result, NO);
    std::memcpy(workspace.stationModel[3], "FA3XY", STATION_MODEL_SIZE);
    std::memcpy(workspace.stationModel[4], "FA3\0Y", STATION_MODEL_SIZE);
    EXPECT_EQ(Check(workspace, "003IO0000", BIT, BLOCK, 12).result, OK);
    EXPECT_EQ(Check(workspace, "004IO0000", BIT, BLOCK, 12).result, NO);
}

// The checks change nothing but the gate's outputs and the scratch.
TEST(GateWorkspace, ChecksTouchOnlyTheScratch) {
    DriverWorkspace workspace = MakeWorkspace("FA3");
    workspace.readTimeout = 123;
    workspace.portHandle = 77;
    workspace.forceFlags[1] = 1;
    DriverWorkspace before = workspace;
    GateDefinition gate = MakeGate("001dr0012", WORD);
    ASSERT_EQ(RunCheck(workspace, gate, GATE), OK);
    EXPECT_STREQ(gate.gas, "001dr0012");  // the host's text is not changed
    EXPECT_EQ(gate.hostField, UNTOUCHED);
    EXPECT_EQ(gate.count, 1);
    EXPECT_EQ(gate.dataType, WORD);

    const auto* now = reinterpret_cast<const unsigned char*>(&workspace);
    const auto* was = reinterpret_cast<const unsigned char*>(&before);
    constexpr std::size_t scratchAt = offsetof(DriverWorkspace, gasScratch);
    EXPECT_EQ(std::memcmp(now, was, scratchAt), 0);
    EXPECT_EQ(std::memcmp(now + scratchAt + GAS_SCRATCH_SIZE, was + scratchAt + GAS_SCRATCH_SIZE,
                          sizeof(DriverWorkspace) - scratchAt - GAS_SCRATCH_SIZE),
              0);
    // The scratch holds the upper-cased copy, filled up with zero bytes.
    const unsigned char expected[GAS_SCRATCH_SIZE] = {'0', '0', '1', 'D', 'R', '0', '0', '1', '2'};
    EXPECT_EQ(std::memcmp(workspace.gasScratch, expected, GAS_SCRATCH_SIZE), 0);
}

}  // namespace
}  // namespace qel::test
