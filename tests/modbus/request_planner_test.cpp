// A Modbus request turned into driver exchanges, or into the exception to
// answer at once, over the driver's own gate checks.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "modbus/job.h"
#include "modbus/request_planner.h"
#include "modbus_bytes.h"
#include "support/case_name.h"
#include "support/plan_workspace.h"

namespace {

using modbustest::Bytes;

enum class Policy { ReadOnly, Writes, AllowList };

struct PlanCase {
    const char* name;
    Bytes request;
    Policy policy;
    int exception;
    // Reads: "GAS count:first-gate@offset..."; writes: "GAS=value".
    std::vector<std::string> exchanges;
    const char* refusal = "";
};

const PlanCase kCases[] = {
    {"RegistersAreOneBlock", modbustest::Read(3, 1, 10, 3), Policy::ReadOnly, 0, {"001DR0010 3: 0@0..2@2"}},
    {"RegistersPastTheModel", modbustest::Read(3, 1, 398, 3), Policy::ReadOnly, 2, {}},
    {"ReadAcrossTwoAreas", modbustest::Read(3, 1, 9999, 2), Policy::ReadOnly, 2, {}},
    {"OutsideTheMap", modbustest::Read(3, 1, 40000, 1), Policy::ReadOnly, 2, {}},
    {"WordOutputs", modbustest::Read(3, 2, 30000, 1), Policy::ReadOnly, 2, {}},
    {"Fa3PresetsAcrossTheirHole", modbustest::Read(3, 2, 10045, 4), Policy::ReadOnly, 2, {}},
    {"Fa3PresetsBeforeTheHole", modbustest::Read(3, 2, 10045, 2), Policy::ReadOnly, 0,
     {"002CP0045 2: 0@0 1@1"}},
    {"Fa2TimersOneByOne", modbustest::Read(4, 1, 5, 2), Policy::ReadOnly, 0,
     {"001TM0005 1: 0@0", "001TM0006 1: 1@0"}},
    {"Fa2OneByteOfCoils", modbustest::Read(1, 1, 150, 8), Policy::ReadOnly, 0,
     {"001IO0150 8: 0@0..7@7"}},
    {"CoilsAcrossAByte", modbustest::Read(1, 1, 155, 4), Policy::ReadOnly, 2, {}},
    {"Fa2RelayIsIr", modbustest::Read(2, 1, 10400, 1), Policy::ReadOnly, 0, {"001IR0400 1: 0@0"}},
    {"Fa3RelayIsNamedIm", modbustest::Read(2, 2, 10400, 1), Policy::ReadOnly, 0, {"002IM0400 1: 0@0"}},
    {"Fa3ImBitsShareTheirByte", modbustest::Read(1, 2, 10641, 2), Policy::ReadOnly, 0,
     {"002IM0640 8: 0@1 1@2"}},
    {"HundredTwentyFiveRegistersAreTwoReads", modbustest::Read(3, 2, 0, 125), Policy::ReadOnly, 0,
     {"002DR0000 100: 0@0..99@99", "002DR0100 25: 100@0..124@24"}},
    {"WriteOnAReadOnlyGateway", modbustest::WriteOne(6, 1, 20, 1234), Policy::ReadOnly, 1, {},
     "the gateway is read-only (no --allow-writes)"},
    {"WriteOneRegister", modbustest::WriteOne(6, 1, 20, 1234), Policy::Writes, 0, {"001DR0020=1234"}},
    {"WriteCoils", modbustest::WriteMany(15, 1, 156, {1, 0}), Policy::Writes, 0,
     {"001IO0156=1", "001IO0157=0"}},
    {"WriteCoilsIntoNoBit", modbustest::WriteMany(15, 1, 156, {1, 0, 1}), Policy::Writes, 2, {},
     "001IO0158 is not a gate the driver accepts"},
    {"PresetAbove9999WritesNothing", modbustest::WriteMany(16, 1, 10045, {1, 10000}), Policy::Writes, 3, {},
     "001CP0046 cannot take 10000 (a preset is 0-9999)"},
    {"AllowedRegisters", modbustest::WriteMany(16, 1, 20, {5, 6}), Policy::AllowList, 0,
     {"001DR0020=5", "001DR0021=6"}},
    {"OneRegisterNotAllowedWritesNothing", modbustest::WriteMany(16, 1, 20, {5, 6, 7}), Policy::AllowList, 2, {},
     "001DR0022 is not in --write-allow"},
};

// The reads with runs of consecutive slots shortened to "a@b..c@d".
std::string Describe(const qel::modbus::DriverRead& read) {
    std::string text = read.gas + " " + std::to_string(read.count) + ":";
    const auto& g = read.gates;
    for (std::size_t i = 0, j = 0; i < g.size(); i = j) {
        for (j = i + 1; j < g.size() && g[j].gate == g[j - 1].gate + 1 && g[j].offset == g[j - 1].offset + 1;) ++j;
        text += " " + std::to_string(g[i].gate) + "@" + std::to_string(g[i].offset);
        if (j - i > 2) text += ".." + std::to_string(g[j - 1].gate) + "@" + std::to_string(g[j - 1].offset);
        else if (j - i == 2) text += " " + std::to_string(g[i + 1].gate) + "@" + std::to_string(g[i + 1].offset);
    }
    return text;
}

class RequestPlans : public ::testing::TestWithParam<PlanCase> {};

TEST_P(RequestPlans, GiveTheExchangesOrTheException) {
    const PlanCase& c = GetParam();
    DriverWorkspace workspace = testsupport::PlanWorkspace();
    const qel::plan::Driver driver = qel::plan::DriverThrough(QelMain, &workspace, 1);
    const qel::modbus::GateCheck check = [&driver](qel::session::Gate& gate) {
        gate.definition = GateDefinition{};
        gate.definition.gas = gate.gas.c_str();
        gate.definition.dataType = gate.dataType;
        gate.definition.count = gate.count;
        return driver.check(gate.count == 1 ? QEL_CHECK_GATE : QEL_CHECK_BLOCK, gate.definition) ==
               QEL_RESULT_DONE;
    };
    qel::session::WriteAllowList allow;
    qel::modbus::WritePolicy policy;
    policy.allowWrites = c.policy != Policy::ReadOnly;
    if (c.policy == Policy::AllowList) {
        const std::string path = ::testing::TempDir() + "request_planner_allow.txt";
        std::ofstream(path) << "# two registers\n001DR0020 2\n";
        std::string error;
        ASSERT_TRUE(allow.Load(path, check, error)) << error;
        policy.allow = &allow;
    }
    const qel::modbus::RequestPlanner planner(driver, check, {}, policy);

    qel::modbus::Job job;
    job.request = c.request;
    ASSERT_EQ(qel::modbus::DecodeRequest(c.request.data(), static_cast<int>(c.request.size()), 7, job.modbus),
              qel::modbus::Decoded::Ok);
    EXPECT_EQ(planner.Plan(job), c.exception);
    EXPECT_EQ(job.refusal, c.refusal);
    std::vector<std::string> exchanges;
    for (const auto& read : job.reads) exchanges.push_back(Describe(read));
    for (const auto& write : job.writes) exchanges.push_back(write.gate.gas + "=" + std::to_string(write.value));
    EXPECT_EQ(exchanges, c.exchanges);
    if (c.exception == 0 && !job.modbus.write) {
        EXPECT_EQ(job.values.size(), job.modbus.count);
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, RequestPlans, ::testing::ValuesIn(kCases), testsupport::CaseName<PlanCase>);

}  // namespace
