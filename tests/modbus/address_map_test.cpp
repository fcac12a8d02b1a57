// The address map: which area and element a Modbus table and address name.
#include <gtest/gtest.h>

#include <string>

#include "modbus/address_map.h"
#include "support/case_name.h"

namespace {

using qel::modbus::Table;

struct MapCase {
    const char* name;
    Table table;
    unsigned address;
    const char* fa2;  // "DR 10", or "" for no area
    const char* fa3;
    bool bits;
};

const MapCase kMap[] = {
    {"FirstRegister", Table::HoldingRegisters, 0, "DR 0", "DR 0", false},
    {"LastRegisterOfDr", Table::HoldingRegisters, 9999, "DR 9999", "DR 9999", false},
    {"CounterPreset", Table::HoldingRegisters, 10040, "CP 40", "CP 40", false},
    {"TimerPreset", Table::HoldingRegisters, 20005, "TP 5", "TP 5", false},
    {"WordOutputs", Table::HoldingRegisters, 39999, "WO 9999", "WO 9999", false},
    {"PastTheHoldingRegisters", Table::HoldingRegisters, 40000, "", "", false},
    {"Timer", Table::InputRegisters, 5, "TM 5", "TM 5", false},
    {"Counter", Table::InputRegisters, 19999, "CT 9999", "CT 9999", false},
    {"PastTheInputRegisters", Table::InputRegisters, 20000, "", "", false},
    {"Coil", Table::Coils, 157, "IO 157", "IO 157", true},
    {"InternalRelayIsImOnAnFa3", Table::Coils, 10640, "IR 640", "IM 640", true},
    {"SpecialRelay", Table::Coils, 29999, "SR 9999", "SR 9999", true},
    {"PastTheCoils", Table::Coils, 30000, "", "", true},
    {"DiscreteInputsAreTheCoils", Table::DiscreteInputs, 10400, "IR 400", "IM 400", true},
    {"PastTheDiscreteInputs", Table::DiscreteInputs, 65535, "", "", true},
};

std::string Named(const std::optional<qel::modbus::Target>& target, bool fa3) {
    if (!target) return "";
    return std::string(target->Mnemonic(fa3)) + " " + std::to_string(target->number);
}

class AddressMap : public ::testing::TestWithParam<MapCase> {};

TEST_P(AddressMap, ResolvesToAnAreaAndElement) {
    const MapCase& c = GetParam();
    const auto target = qel::modbus::Resolve(c.table, c.address);
    EXPECT_EQ(Named(target, false), c.fa2);
    EXPECT_EQ(Named(target, true), c.fa3);
    if (target) {
        EXPECT_EQ(target->row->bits, c.bits);
    }
}

INSTANTIATE_TEST_SUITE_P(Addresses, AddressMap, ::testing::ValuesIn(kMap), testsupport::CaseName<MapCase>);

TEST(AddressMap, TextHasEveryAreaOnceWithItsRange) {
    const std::string text = qel::modbus::MapText();
    for (const char* row : {"holding registers (FC 3, 6, 16)  10000-19999   CP n",
                            "coils (FC 1, 5, 15)              10000-19999   IR/IM n",
                            "discrete inputs (FC 2)           20000-29999   SR n",
                            "input registers (FC 4)           0-9999        TM n"}) {
        EXPECT_NE(text.find(row), std::string::npos) << row;
    }
    std::size_t lines = 0;
    for (const char c : text) lines += c == '\n';
    EXPECT_EQ(lines, 3u + 1 + 1 + 12);  // the preface, a blank line, the heading, twelve areas
}

}  // namespace
