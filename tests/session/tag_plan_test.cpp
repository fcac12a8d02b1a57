// Typed tags and the planner over the driver's own checks: a typed list is
// planned exactly as the same words untyped, a 32-bit value's two words are
// always in one exchange, and a 32-bit type on an area's last element is
// refused with its line.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "plan/scan_plan.h"
#include "session/gates/gate_list.h"
#include "session/gates/gate_rounds.h"
#include "support/plan_workspace.h"

namespace {

using qel::session::ListedGate;

std::vector<ListedGate> Parse(const std::vector<std::string>& texts) {
    std::vector<qel::common::TextLine> lines;
    for (std::size_t i = 0; i < texts.size(); ++i) lines.push_back({static_cast<unsigned>(i + 1), texts[i]});
    std::vector<ListedGate> listed;
    std::string error;
    EXPECT_TRUE(qel::session::ParseGateList(lines, "gates.txt", listed, error)) << error;
    return listed;
}

qel::plan::Plan PlanOf(const std::vector<ListedGate>& listed, const qel::plan::Driver& driver) {
    std::vector<qel::plan::GateRequest> requests;
    for (const ListedGate& l : listed) requests.push_back({l.gate.gas, l.gate.count, l.gate.dataType});
    return qel::plan::MakePlan(requests, driver, {});
}

// "GAS count" per transfer, and "gate offset+count" per slot.
std::vector<std::string> Describe(const qel::plan::Plan& plan) {
    std::vector<std::string> out;
    for (const auto& t : plan.transfers) {
        std::string text = t.gas + " " + std::to_string(t.count) + ":";
        for (const auto& slot : t.gates)
            text += " " + std::to_string(slot.gate) + "@" + std::to_string(slot.offset) + "+" + std::to_string(slot.count);
        out.push_back(text);
    }
    return out;
}

TEST(TagPlan, TypedTagsArePlannedAsTheSameWordsUntyped) {
    DriverWorkspace workspace = testsupport::PlanWorkspace();
    const auto driver = qel::plan::DriverThrough(QelMain, &workspace, 1);
    const auto typed = Parse({
        "001DR0010 type=int16 scale=0.1 unit=degC tag=temp",
        "001DR0020 type=uint32 tag=counter",
        "001DR0030 type=float32 order=lo-hi",
        "001DR0040 4 type=bcd32",
        "001DR0060 type=bcd16",
        "002DR0100 type=int32",
        "001IO0005 type=bool",
        "001CP0003 type=bcd16",
    });
    const auto untyped = Parse({
        "001DR0010 tag=temp", "001DR0020 2 tag=counter", "001DR0030 2", "001DR0040 8", "001DR0060", "002DR0100 2",
        "001IO0005", "001CP0003",
    });
    const auto a = PlanOf(typed, driver);
    const auto b = PlanOf(untyped, driver);
    EXPECT_TRUE(a.rejected.empty());
    EXPECT_EQ(Describe(a), Describe(b));
    EXPECT_DOUBLE_EQ(a.scanMs, b.scanMs);
}

// 32-bit tags at every offset around a block's 100-word limit and between
// other gates: each value's words are in one slot of one transfer.
TEST(TagPlan, ThirtyTwoBitsAreNeverTorn) {
    DriverWorkspace workspace = testsupport::PlanWorkspace();
    const auto driver = qel::plan::DriverThrough(QelMain, &workspace, 1);
    for (int start = 90; start <= 110; ++start) {
        std::vector<std::string> texts = {"001DR0000 50", "001DR0050 45"};
        char line[64];
        std::snprintf(line, sizeof line, "001DR%04d type=uint32", start);
        texts.push_back(line);
        std::snprintf(line, sizeof line, "001DR%04d 3 type=int32", start + 3);
        texts.push_back(line);
        texts.push_back("001DR0120");
        const auto listed = Parse(texts);
        const auto plan = PlanOf(listed, driver);
        ASSERT_TRUE(plan.rejected.empty()) << start;
        int seen = 0;
        for (const auto& t : plan.transfers)
            for (const auto& slot : t.gates) {
                if (slot.gate < 2 || slot.gate > 3) continue;
                ++seen;
                EXPECT_EQ(slot.count, listed[slot.gate].gate.count) << start;
                EXPECT_LE(slot.offset + slot.count, t.count) << start;
            }
        EXPECT_EQ(seen, 2) << "each 32-bit gate in exactly one slot, start " << start;
    }
}

TEST(TagPlan, ThirtyTwoBitsOnTheAreasLastElementAreRefused) {
    DriverWorkspace workspace = testsupport::PlanWorkspace();
    const auto driver = qel::plan::DriverThrough(QelMain, &workspace, 1);
    const qel::session::GateCheck check = [&](qel::session::Gate& gate) {
        GateDefinition definition{};
        definition.gas = gate.gas.c_str();
        definition.dataType = gate.dataType;
        definition.count = gate.count;
        return driver.check(gate.count == 1 ? QEL_CHECK_GATE : QEL_CHECK_BLOCK, definition) == QEL_RESULT_DONE;
    };
    // The area's last element, as the driver's check has it.
    int last = -1;
    for (int e = 9999; e >= 0 && last < 0; --e) {
        qel::session::Gate gate;
        char gas[16];
        std::snprintf(gas, sizeof gas, "001DR%04d", e);
        gate.gas = gas;
        if (check(gate)) last = e;
    }
    ASSERT_GT(last, 0);
    char text[64];
    std::snprintf(text, sizeof text, "001DR%04d type=int32", last);
    auto listed = Parse({"001DR0000", text});
    std::string error;
    EXPECT_TRUE(qel::session::CheckListedGate(listed[0], check, "gates.txt", error)) << error;
    EXPECT_FALSE(qel::session::CheckListedGate(listed[1], check, "gates.txt", error));
    EXPECT_EQ(error.rfind("gates.txt:2: ", 0), 0u) << error;
    EXPECT_NE(error.find("past the last element of its area; a 32-bit type takes two elements"), std::string::npos)
        << error;
    // One element before the end fits.
    std::snprintf(text, sizeof text, "001DR%04d type=float32", last - 1);
    listed = Parse({text});
    EXPECT_TRUE(qel::session::CheckListedGate(listed[0], check, "gates.txt", error)) << error;
}

}  // namespace
