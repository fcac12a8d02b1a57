#include "modbus/address_map.h"

#include <array>
#include <cstdio>

namespace qel::modbus {

namespace {

// The discrete inputs are the coils' bits, read only.
constexpr std::array<AreaRow, 12> kRows = {{
    {Table::HoldingRegisters, 0, "DR", "DR", "DR n", false, "data registers"},
    {Table::HoldingRegisters, 10000, "CP", "CP", "CP n", false, "counter presets (0-9999)"},
    {Table::HoldingRegisters, 20000, "TP", "TP", "TP n", false, "timer presets (0-9999)"},
    {Table::HoldingRegisters, 30000, "WO", "WO", "WO n", false,
     "word outputs; the driver serves no single WO gate, so exception 2"},
    {Table::InputRegisters, 0, "TM", "TM", "TM n", false, "timers"},
    {Table::InputRegisters, 10000, "CT", "CT", "CT n", false, "counters"},
    {Table::Coils, 0, "IO", "IO", "IO n", true, "inputs/outputs"},
    {Table::Coils, 10000, "IR", "IM", "IR/IM n", true, "internal relays (FA-3: IM 640-1317, else IR)"},
    {Table::Coils, 20000, "SR", "SR", "SR n", true, "special relays"},
    {Table::DiscreteInputs, 0, "IO", "IO", "IO n", true, "the coils' bits, read only"},
    {Table::DiscreteInputs, 10000, "IR", "IM", "IR/IM n", true, "the coils' bits, read only"},
    {Table::DiscreteInputs, 20000, "SR", "SR", "SR n", true, "the coils' bits, read only"},
}};

const char* TableName(Table table) {
    switch (table) {
        case Table::Coils: return "coils (FC 1, 5, 15)";
        case Table::DiscreteInputs: return "discrete inputs (FC 2)";
        case Table::HoldingRegisters: return "holding registers (FC 3, 6, 16)";
        case Table::InputRegisters: return "input registers (FC 4)";
    }
    return "";
}

}  // namespace

std::optional<Target> Resolve(Table table, unsigned address) {
    for (const AreaRow& row : kRows) {
        if (row.table == table && address >= row.base && address < row.base + kAreaSpan)
            return Target{&row, address - row.base};
    }
    return std::nullopt;
}

std::string MapText() {
    std::string text =
        "Unit id = FA station number (0-255). n is the element number as written in a gate\n"
        "address (coil 157 = IO 157, byte 15 bit 7). Addresses are 0-based (PDU addresses).\n"
        "A number outside the area's range for the station's model is exception 2.\n\n";
    char line[200];
    std::snprintf(line, sizeof line, "%-32s %-13s %-8s %s\n", "table", "addresses", "FA area", "notes");
    text += line;
    auto add = [&](const AreaRow& row) {
        char range[32];
        std::snprintf(range, sizeof range, "%u-%u", row.base, row.base + kAreaSpan - 1);
        std::snprintf(line, sizeof line, "%-32s %-13s %-8s %s\n", TableName(row.table), range, row.label, row.note);
        text += line;
    };
    for (const AreaRow& row : kRows) add(row);
    return text;
}

}  // namespace qel::modbus
