#include "modbus/tag_map.h"

#include <cmath>
#include <cstdio>

#include "modbus/address_map.h"
#include "session/gates/gate_address.h"

namespace qel::modbus {

namespace {

// The writable table that holds an area (holding registers, input
// registers or coils), as the address map has it.
const AreaRow* RowOf(const std::string& area) {
    for (const Table table : {Table::HoldingRegisters, Table::InputRegisters, Table::Coils})
        for (unsigned base = 0; base < 4 * kAreaSpan; base += kAreaSpan)
            if (const auto target = Resolve(table, base);
                target && (area == target->row->mnemonic || area == target->row->mnemonicFa3))
                return target->row;
    return nullptr;
}

const char* ShortTable(Table table) {
    switch (table) {
        case Table::Coils: return "coils";
        case Table::DiscreteInputs: return "discrete inputs";
        case Table::HoldingRegisters: return "holding registers";
        case Table::InputRegisters: return "input registers";
    }
    return "";
}

}  // namespace

std::string TagMapText(const std::vector<session::ListedGate>& listed) {
    std::string text;
    char line[400];
    for (const session::ListedGate& entry : listed) {
        if (entry.tag.empty()) continue;
        const auto address = session::GateAddress::Parse(entry.gate.gas);
        const AreaRow* row = address ? RowOf(address->area) : nullptr;
        char where[48] = "-";
        if (row != nullptr) {
            const unsigned first = row->base + address->element;
            // Bit areas skip the bit digits 8 and 9, as their coils do.
            unsigned last = address->element;
            for (int i = 1; i < entry.gate.count; ++i) last = session::NextNumber(last, row->bits);
            last += row->base;
            if (last == first) std::snprintf(where, sizeof where, "%u", first);
            else std::snprintf(where, sizeof where, "%u-%u", first, last);
        }
        const session::TagSpec& spec = entry.spec;
        std::string scaling;
        if (spec.scale != 1 || spec.offset != 0)
            scaling = "x " + session::NumberText(spec.scale) +
                      (spec.offset != 0 ? (spec.offset > 0 ? " + " : " - ") + session::NumberText(std::abs(spec.offset))
                                        : "");
        const std::string order = spec.Words() == 2 ? (spec.order == session::WordOrder::HiLo ? "hi-lo" : "lo-hi") : "";
        std::snprintf(line, sizeof line, "%-20s %-5u %-18s %-12s %-8s %-6s %-14s %s\n", entry.tag.c_str(),
                      address ? address->station : 0, row != nullptr ? ShortTable(row->table) : "-", where,
                      session::TagTypeName(spec.type), order.empty() ? "-" : order.c_str(),
                      scaling.empty() ? "-" : scaling.c_str(), spec.unit.c_str());
        std::string printed(line);
        while (printed.size() > 1 && printed[printed.size() - 2] == ' ') printed.erase(printed.size() - 2, 1);
        text += printed;
    }
    if (text.empty()) return text;
    std::snprintf(line, sizeof line, "%-20s %-5s %-18s %-12s %-8s %-6s %-14s %s\n", "tag", "unit", "table", "addresses",
                  "type", "order", "scaling", "unit");
    return "\nThe tags of the publish list (value = raw x scale + offset; a 32-bit type's high word first unless "
           "lo-hi):\n" + std::string(line) + text;
}

}  // namespace qel::modbus
