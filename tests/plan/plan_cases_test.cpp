// The planner over the driver's own gate check: a gate list in, the
// transfers out, and the predicted times of the cost model.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plan/scan_plan.h"
#include "support/case_name.h"
#include "support/plan_workspace.h"

namespace {

using qel::plan::GateRequest;

GateRequest Gate(const char* gas, std::int32_t count = 1) {
    const std::string area = std::string(gas).substr(3, 2);
    const bool bit = area == "IO" || area == "IR" || area == "IM" || area == "SR";
    return {gas, count, bit ? DATA_TYPE_BIT : DATA_TYPE_WORD};
}

// "GAS count:offsets" for each transfer, a run of offsets as "first-last";
// "-GAS" for a refused gate.
std::vector<std::string> Describe(const qel::plan::Plan& plan, const std::vector<GateRequest>& gates) {
    std::vector<std::string> out;
    for (const auto& t : plan.transfers) {
        std::string text = t.gas + " " + std::to_string(t.count) + ":";
        for (std::size_t i = 0, j = 0; i < t.gates.size(); i = j) {
            for (j = i + 1; j < t.gates.size() && t.gates[j].offset == t.gates[j - 1].offset + 1;) ++j;
            text += (i ? "," : "") + std::to_string(t.gates[i].offset);
            if (j - i > 1) text += "-" + std::to_string(t.gates[j - 1].offset);
        }
        out.push_back(text);
    }
    for (const auto i : plan.rejected) out.push_back("-" + gates[i].gas);
    return out;
}

struct PlanCase {
    const char* name;
    std::vector<GateRequest> gates;
    std::vector<std::string> transfers;
    bool merge = true;
};

class PlanCases : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanCases, GivesTheExpectedTransfers) {
    DriverWorkspace workspace = testsupport::PlanWorkspace();
    const auto driver = qel::plan::DriverThrough(QelMain, &workspace, 1);
    qel::plan::PlanOptions options;
    options.merge = GetParam().merge;
    const auto plan = qel::plan::MakePlan(GetParam().gates, driver, options);
    EXPECT_EQ(Describe(plan, GetParam().gates), GetParam().transfers);
}

std::vector<GateRequest> Singles(const char* prefix, int first, int count) {
    std::vector<GateRequest> gates;
    for (int i = 0; i < count; ++i) {
        char gas[16];
        std::snprintf(gas, sizeof gas, "%s%04d", prefix, first + i);
        gates.push_back(Gate(gas));
    }
    return gates;
}

const PlanCase kCases[] = {
    {"Fa2WordsInARowMakeOneBlock", {Gate("001DR0012"), Gate("001DR0010"), Gate("001DR0011")}, {"001DR0010 3:0-2"}},
    {"Fa2GapOfSixIsReadAcross", {Gate("001DR0010"), Gate("001DR0016")}, {"001DR0010 7:0,6"}},
    {"Fa2GapOfSevenCostsMoreThanAnExchange", {Gate("001DR0010"), Gate("001DR0017")},
     {"001DR0010 1:0", "001DR0017 1:0"}},
    {"BlockGatesMergeWithSingles", {Gate("001DR0020", 5), Gate("001DR0026")}, {"001DR0020 7:0,6"}},
    {"Fa2BitsShareTheirByte", {Gate("001IO0005"), Gate("001IO0003"), Gate("001IO0012")},
     {"001IO0000 8:3,5", "001IO0012 1:0"}},
    {"Fa2BitsNeverSpanTheHoleInTheNumbering", {Gate("001IO0157"), Gate("001IO0200")},
     {"001IO0157 1:0", "001IO0200 1:0"}},
    {"Fa2TimersAndPresetsHaveNoBlocks", {Gate("001TM0001"), Gate("001TM0002"), Gate("001CP0005")},
     {"001TM0001 1:0", "001TM0002 1:0", "001CP0005 1:0"}},
    {"Fa3WordsAcrossAGap", {Gate("002DR0400"), Gate("002DR0401"), Gate("002DR0405"), Gate("002TM0003")},
     {"002TM0003 1:0", "002DR0400 6:0-1,5"}},
    {"Fa3BitsInMultiplesOfEight", {Gate("002IO0000"), Gate("002IO0117")}, {"002IO0000 96:0,95"}},
    {"Fa3BitsSplitAboveOneHundred", {Gate("002IO0000"), Gate("002IO0157")}, {"002IO0000 1:0", "002IO0157 1:0"}},
    {"Fa3BitsNeverSpanTheHole", {Gate("002IO0150"), Gate("002IO0200")}, {"002IO0150 1:0", "002IO0200 1:0"}},
    {"Fa3ImAboveTheOffset", {Gate("002IM0640"), Gate("002IM0641")}, {"002IM0640 8:0-1"}},
    {"GroupedByStation", {Gate("002DR0001"), Gate("001DR0001"), Gate("002DR0002")},
     {"001DR0001 1:0", "002DR0001 2:0-1"}},
    {"NoMergeKeepsTheListOrder", {Gate("002DR0001"), Gate("001DR0001"), Gate("002DR0002")},
     {"002DR0001 1:0", "001DR0001 1:0", "002DR0002 1:0"}, false},
    {"IllegalGatesAreLeftOut", {Gate("001DR0400"), Gate("001DR0001"), Gate("001DR0002", 101)},
     {"001DR0001 1:0", "-001DR0400", "-001DR0002"}},
    {"DuplicatesShareOneRead", {Gate("001DR0007"), Gate("001DR0007")}, {"001DR0007 1:0,0"}},
    {"SplitAboveOneHundred", Singles("001DR", 0, 150), {"001DR0000 100:0-99", "001DR0100 50:0-49"}},
    // A range of one area: FA-3 CT 47 does not exist; no block spans it.
    {"RangeLeavesOutWhatTheModelLacks", qel::plan::RangeGates(2, AREA_CT, 45, 4),
     {"002CT0045 2:0-1", "002CT0048 1:0", "-002CT0047"}},
};

INSTANTIATE_TEST_SUITE_P(Plans, PlanCases, ::testing::ValuesIn(kCases), testsupport::CaseName<PlanCase>);

TEST(ElementGas, WritesTheAddressOfAStoredElement) {
    EXPECT_EQ(qel::plan::ElementGas(1, AREA_IO, 127), "001IO0157");
    EXPECT_EQ(qel::plan::ElementGas(2, AREA_IR, 3512), "002IM0640");
    EXPECT_EQ(qel::plan::ElementGas(2, AREA_WO, 1), "");
}

struct TimeCase {
    const char* name;
    std::vector<GateRequest> gates;
    qel::plan::LineSettings line;
    double scanMs;
};

// 9600 8E1: 11 bits, 1.1458 ms a character.
const TimeCase kTimes[] = {
    {"Fa2SingleOfASelectedStation", {Gate("001DR0010")}, {}, 20 + 15 * 11 / 9.6},
    {"Fa2BlockOfOneHundredWithItsTrailer", Singles("001DR", 0, 100), {}, 20 + (11 + 4 + 400 + 3) * 11 / 9.6},
    {"TwoStationsEachSelected", {Gate("001DR0010"), Gate("002DR0010")}, {},
     2 * (20 + 10 * 11 / 9.6) + (20 + 15 * 11 / 9.6) + (20 + (15 + 4 + 4 + 3) * 11 / 9.6)},
    {"At19200NoParityTwoStopBits", {Gate("001IO0000")}, {19200, 8, false, 2}, 20 + 13 * 11 / 19.2},
};

class PlanTimes : public ::testing::TestWithParam<TimeCase> {};

TEST_P(PlanTimes, PredictTheScan) {
    DriverWorkspace workspace = testsupport::PlanWorkspace();
    qel::plan::PlanOptions options;
    options.line = GetParam().line;
    const auto plan = qel::plan::MakePlan(GetParam().gates, qel::plan::DriverThrough(QelMain, &workspace, 1), options);
    EXPECT_NEAR(plan.scanMs, GetParam().scanMs, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Plans, PlanTimes, ::testing::ValuesIn(kTimes), testsupport::CaseName<TimeCase>);

}  // namespace
