#include "session/gates/write_allow.h"

#include <cstdio>
#include <sstream>

namespace qel::session {

std::string GateCheck::Refusal(const Gate& gate) const {
    std::string words = refusal_ ? refusal_(gate) : std::string();
    if (words.empty()) words = gate.gas + " is not a gate the driver accepts";
    return words;
}

bool WriteAllowList::Load(const std::string& path, const GateCheck& check, std::string& error) {
    std::vector<common::TextLine> lines;
    if (!common::ReadTextLines(path, lines, error)) {
        error = "cannot read the write-allow file: " + error;
        return false;
    }
    return Load(lines, path, check, error);
}

bool WriteAllowList::Load(const std::vector<common::TextLine>& lines, const std::string& path, const GateCheck& check,
                          std::string& error) {
    for (const common::TextLine& line : lines) {
        const unsigned number = line.number;
        std::istringstream words(line.text);
        std::string gas;
        int count = 1;
        words >> gas;
        std::string countText, rest;
        if (words >> countText) {
            count = countText.find_first_not_of("0123456789") == std::string::npos && countText.size() <= 5
                        ? std::stoi(countText)
                        : 0;
        }
        if (count < 1 || count > 10000 || (words >> rest)) {
            error = path + ":" + std::to_string(number) + ": expected GAS [COUNT], COUNT 1..10000";
            return false;
        }
        // Every element of the run on its own, as the writes check them.
        const bool bits = GuessDataType(gas) == DATA_TYPE_BIT;
        // The first as written (the driver's check says whether it is a
        // gate), the others following it.
        GateAddress at = GateAddress::Parse(gas).value_or(GateAddress{});
        for (int i = 0; i < count; ++i, at = at.Next()) {
            Gate one;
            one.gas = i == 0 ? gas : at.Format();
            one.dataType = bits ? DATA_TYPE_BIT : DATA_TYPE_WORD;
            if (!check(one)) {
                error = path + ":" + std::to_string(number) + ": " + check.Refusal(one);
                return false;
            }
            gates_.insert({one.definition.station, one.definition.areaCode, one.definition.element});
        }
    }
    return true;
}

bool WriteAllowList::Allows(const GateDefinition& gate) const {
    return gates_.count({gate.station, gate.areaCode, gate.element}) != 0;
}

}  // namespace qel::session
