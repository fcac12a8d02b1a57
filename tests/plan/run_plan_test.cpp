// A run of consecutive elements planned at once gives exactly the plan of
// its single gates, with fewer checks by the driver.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "plan/scan_plan.h"
#include "support/case_name.h"
#include "support/plan_workspace.h"

namespace {

using qel::plan::GateRequest;

std::string Gas(const char* prefix, unsigned number) {
    char gas[16];
    std::snprintf(gas, sizeof gas, "%s%04u", prefix, number);
    return gas;
}

struct RunCase {
    const char* name;
    const char* prefix;  // station and area, "001DR"
    unsigned first;
    unsigned count;
    bool bits;
    bool refused;        // some element is no gate
};

const RunCase kRuns[] = {
    {"Fa2OneRegister", "001DR", 10, 1, false, false},
    {"Fa2HundredTwentyFiveRegisters", "001DR", 0, 125, false, false},
    {"Fa2RegistersPastTheEnd", "001DR", 390, 11, false, true},
    {"Fa2TimersOneByOne", "001TM", 5, 6, false, false},
    {"Fa2OneByteOfCoils", "001IO", 150, 8, true, false},
    {"Fa2SomeBitsOfAByte", "001IO", 152, 3, true, false},
    {"Fa2CoilsAcrossAByte", "001IO", 155, 4, true, true},
    {"Fa2CoilsIntoTheHole", "001IO", 150, 12, true, true},
    {"Fa2ImIsNoArea", "001IM", 640, 2, true, true},
    {"Fa3CountersAcrossTheirHole", "002CT", 40, 10, false, true},
    {"Fa3CountersAfterTheHole", "002CT", 48, 20, false, false},
    {"Fa3PresetsEndingInTheHole", "002CP", 45, 3, false, true},
    {"Fa3RegistersAcrossAHundred", "002DR", 50, 125, false, false},
    {"Fa3ImBelowItsRangeIsIr", "002IM", 400, 8, true, false},
    {"Fa3ImFromItsFirstByte", "002IM", 640, 5, true, false},
    {"Fa3ImAcrossWhereItStarts", "002IM", 637, 4, true, true},
    {"Fa3SpecialRelays", "002SR", 0, 100, true, false},
    {"Fa3WordOutputsHaveNoSingleGate", "002WO", 0, 2, false, true},
    {"StationAboveTheLast", "300DR", 0, 2, false, true},
};

// Counts the driver's single-gate checks.
struct Counting {
    DriverWorkspace workspace = testsupport::PlanWorkspace();
    qel::plan::Driver inner = qel::plan::DriverThrough(QelMain, &workspace, 1);
    int gateChecks = 0;
    qel::plan::Driver Driver() {
        qel::plan::Driver driver = inner;
        driver.check = [this](std::int32_t operation, GateDefinition& definition) {
            if (operation == QEL_CHECK_GATE) ++gateChecks;
            return inner.check(operation, definition);
        };
        return driver;
    }
};

std::vector<std::string> Describe(const qel::plan::Plan& plan) {
    std::vector<std::string> out;
    for (const auto& t : plan.transfers) {
        std::string text = t.gas + " " + std::to_string(t.element) + " " + std::to_string(t.count) + ":";
        for (const auto& slot : t.gates) text += " " + std::to_string(slot.gate) + "@" + std::to_string(slot.offset);
        text += t.selects ? " selects" : "";
        out.push_back(text);
    }
    return out;
}

class RunPlans : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunPlans, AreThePlansOfTheirSingleGates) {
    const RunCase& c = GetParam();
    for (const bool merge : {true, false}) {
        qel::plan::PlanOptions options;
        options.merge = merge;
        std::vector<GateRequest> gates;
        for (unsigned i = 0; i < c.count; ++i)
            gates.push_back({Gas(c.prefix, c.first + i), 1, c.bits ? DATA_TYPE_BIT : DATA_TYPE_WORD});
        Counting singles;
        const auto expected = qel::plan::MakePlan(gates, singles.Driver(), options);

        qel::plan::Run run;
        int named = 0;
        run.gas = [&](std::uint32_t i) {
            ++named;
            return Gas(c.prefix, c.first + i);
        };
        run.count = c.count;
        run.dataType = c.bits ? DATA_TYPE_BIT : DATA_TYPE_WORD;
        Counting counted;
        const auto got = qel::plan::PlanRun(run, counted.Driver(), options);
        ASSERT_EQ(!got, c.refused) << "merge " << merge;
        EXPECT_EQ(expected.rejected.empty(), !c.refused);
        if (!got) continue;
        EXPECT_EQ(Describe(*got), Describe(expected)) << "merge " << merge;
        EXPECT_DOUBLE_EQ(got->scanMs, expected.scanMs);
        // Each element checked once at most: fewer than the single gates'
        // checks, which check every element again inside its block.
        EXPECT_LE(counted.gateChecks, singles.gateChecks);
        if (c.count > 2 && merge && got->transfers.size() < c.count) {
            EXPECT_LT(counted.gateChecks, singles.gateChecks);
            EXPECT_LT(named, static_cast<int>(c.count));  // texts only for the ends and lone elements
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, RunPlans, ::testing::ValuesIn(kRuns), testsupport::CaseName<RunCase>);

TEST(RunPlans, ARunOfRegistersChecksEachElementOnce) {
    Counting counted;
    qel::plan::Run run;
    run.gas = [](std::uint32_t i) { return Gas("002DR", 100 + i); };
    run.count = 125;
    const auto plan = qel::plan::PlanRun(run, counted.Driver(), {});
    ASSERT_TRUE(plan);
    EXPECT_EQ(counted.gateChecks, 125);
    ASSERT_EQ(plan->transfers.size(), 2u);
    EXPECT_EQ(plan->transfers[0].gas, "002DR0100");
    EXPECT_EQ(plan->transfers[1].gas, "002DR0200");
}

}  // namespace
