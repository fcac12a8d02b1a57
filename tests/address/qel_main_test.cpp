// The gate checks as the host reaches them: through QelMain and the
// operation table.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>

#include "gate_fixture.h"

namespace qel::test {
namespace {

struct EntryCase {
    const char* gas;
    std::int32_t dataType;
    std::int32_t count;
    const char* model;
    std::int32_t operation;
    std::int32_t result;
    std::uint32_t areaCode;
    std::uint32_t element;
};

std::ostream& operator<<(std::ostream& out, const EntryCase& c) {
    return out << "operation " << c.operation << " \"" << c.gas << "\" type " << c.dataType << " count "
               << c.count << " on " << c.model;
}

class ThroughQelMain : public ::testing::TestWithParam<EntryCase> {};

TEST_P(ThroughQelMain, GivesTheHandlersResult) {
    const EntryCase& c = GetParam();
    DriverWorkspace workspace = MakeWorkspace(c.model);
    GateDefinition gate = MakeGate(c.gas, c.dataType, c.count);
    const QelRequest request = MakeRequest(&workspace, &gate, c.operation);
    EXPECT_EQ(QelMain(&request), c.result);
    EXPECT_EQ(gate.station, 1u);
    EXPECT_EQ(gate.areaCode, c.areaCode);
    EXPECT_EQ(gate.element, c.element);
    EXPECT_EQ(gate.fixedOut1, 255u);
    EXPECT_EQ(gate.fixedOut2, 16u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ThroughQelMain,
    ::testing::Values(
        EntryCase{"001DR0399", DATA_TYPE_WORD, 1, "FA2", QEL_CHECK_GATE, 0, AREA_DR, 399},
        EntryCase{"001DR0400", DATA_TYPE_WORD, 1, "FA2", QEL_CHECK_GATE, 1, AREA_DR, 400},
        EntryCase{"001force", DATA_TYPE_BIT, 1, "FA3", QEL_CHECK_GATE, 0, AREA_FORCE, UNTOUCHED},
        EntryCase{"001IM0640", DATA_TYPE_BIT, 1, "FA3", QEL_CHECK_GATE, 0, AREA_IR, 3512},
        EntryCase{"001IO0000", DATA_TYPE_BIT, 8, "FA2", QEL_CHECK_BLOCK, 0, AREA_IO, 0},
        EntryCase{"001IO0000", DATA_TYPE_BIT, 16, "FA2", QEL_CHECK_BLOCK, 1, AREA_IO, 0},
        EntryCase{"001WO0001", DATA_TYPE_WORD, 10, "FA3", QEL_CHECK_BLOCK, 0, AREA_WO, 1}));

}  // namespace
}  // namespace qel::test
