#include "session/gates/tag_write.h"

#include "session/gates/gate_address.h"
#include "session/gates/tag_convert.h"
#include "session/gates/write_value.h"

namespace qel::session {

bool TagWriteWords(const TagSpec& spec, const Gate& gate, double value, std::vector<std::uint16_t>& words,
                   std::string& error) {
    if (!EncodeTag(spec, value, words, error)) return false;
    for (const std::uint16_t word : words) {
        error = RefuseValue(gate.definition, gate.dataType, word);
        if (!error.empty()) {
            error += ", and " + NumberText(value) + (spec.unit.empty() ? "" : " " + spec.unit) + " is the word " +
                     std::to_string(word);
            words.clear();
            return false;
        }
    }
    return true;
}

bool AllowsTagWrite(const WriteAllowList& allow, const Gate& gate, std::size_t words) {
    GateDefinition definition = gate.definition;
    for (std::size_t i = 0; i < words; ++i, ++definition.element)
        if (!allow.Allows(definition)) return false;
    return true;
}

std::vector<LineExchange> TagWrites(const Gate& gate, std::span<const std::uint16_t> words) {
    std::vector<LineExchange> exchanges;
    Gate single = gate;
    single.count = 1;
    single.definition.count = 1;
    auto address = GateAddress::Parse(gate.gas);
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) {
            // Word areas number their elements one by one, stored as written.
            single.definition.element += 1;
            if (address) {
                address = address->Next();
                single.gas = address->Format();
            }
        }
        exchanges.push_back(LineExchange::Write(single, words[i]));
    }
    return exchanges;
}

}  // namespace qel::session
