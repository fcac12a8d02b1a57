// The Modbus address map: which FA memory area a Modbus table and address
// name. Numbers within an area are the element numbers as written in a gate
// address (coil 157 is IO 157, byte 15 bit 7).
#pragma once

#include <optional>
#include <string>

namespace qel::modbus {

// The four Modbus data tables.
enum class Table { Coils, DiscreteInputs, HoldingRegisters, InputRegisters };

struct AreaRow {
    Table table;
    unsigned base;          // Modbus address of element 0
    const char* mnemonic;   // the gate address area for FA-2 stations
    const char* mnemonicFa3;// the gate address area for FA-3 stations
    const char* label;      // as printed in the map
    bool bits;
    const char* note;
};

constexpr unsigned kAreaSpan = 10000;  // every area has 10000 Modbus addresses

// One Modbus address resolved: the area and the written element number.
struct Target {
    const AreaRow* row;
    unsigned number;
    const char* Mnemonic(bool fa3) const { return fa3 ? row->mnemonicFa3 : row->mnemonic; }
};

std::optional<Target> Resolve(Table table, unsigned address);

// The map as a table a person reads (qelgate --map).
std::string MapText();

}  // namespace qel::modbus
