#include "session/gates/tag_table.h"

#include "session/gates/gate_rounds.h"
#include "session/gates/tag_convert.h"
#include "session/gates/tag_write.h"

namespace qel::session {

bool TagTable::Load(const std::vector<ListedGate>& listed, GateAccess& access, const std::string& origin,
                    std::string& error) {
    tags_.clear();
    const GateCheck check = [&access](Gate& gate) { return !access.Check(gate).has_value(); };
    for (const ListedGate& entry : listed) {
        if (entry.tag.empty()) continue;
        ListedGate checked = entry;
        if (!CheckListedGate(checked, check, origin, error)) return false;
        tags_[entry.tag] = Tag{checked};
    }
    return true;
}

std::vector<std::string> TagTable::Names() const {
    std::vector<std::string> names;
    for (const auto& [name, tag] : tags_) names.push_back(name);
    return names;
}

const TagTable::Tag* TagTable::Find(const std::string& name, TagResult& result) const {
    result.name = name;
    const auto found = tags_.find(name);
    if (found == tags_.end()) {
        result.gate.failure = GateFailure::BadGate;
        std::string names;
        for (const auto& [known, tag] : tags_) names += (names.empty() ? "" : ", ") + known;
        result.gate.reason = "no tag \"" + name + "\"" + (names.empty() ? "; the list names none" : "; the tags are " + names);
        return nullptr;
    }
    result.known = true;
    result.spec = found->second.listed.spec;
    result.block = found->second.listed.gate.count > static_cast<int>(result.spec.Words());
    result.gate.gas = found->second.listed.gate.gas;
    return &found->second;
}

TagResult TagTable::Read(GateAccess& access, const std::string& name) const {
    TagResult result;
    const Tag* tag = Find(name, result);
    if (tag == nullptr) return result;
    result.gate = access.ReadMany({tag->listed.gate}).front();
    if (!result.gate.ok()) return result;
    std::string error;
    if (!DecodeTag(result.spec, result.gate.values, result.values, error)) {
        result.gate.failure = GateFailure::BadValue;
        result.gate.reason = name + ": " + error;
    }
    return result;
}

TagResult TagTable::Write(GateAccess& access, const std::string& name, double value,
                          const WriteAllowList* allow) const {
    TagResult result;
    const Tag* tag = Find(name, result);
    if (tag == nullptr) return result;
    const Gate& gate = tag->listed.gate;
    if (result.block) {
        result.gate.failure = GateFailure::BadValue;
        result.gate.reason = name + " is an array; it is not written whole";
        return result;
    }
    std::vector<std::uint16_t> words;
    std::string error;
    if (!TagWriteWords(result.spec, gate, value, words, error)) {
        result.gate.failure = GateFailure::BadValue;
        result.gate.reason = name + " takes no " + NumberText(value) + ": " + error;
        return result;
    }
    if (allow != nullptr && !AllowsTagWrite(*allow, gate, words.size())) {
        result.gate.failure = GateFailure::NotAllowed;
        result.gate.reason = "the write allow-list does not hold every word of " + name + " (" + gate.gas + ")";
        return result;
    }
    result.gate = access.WriteWords(gate, words);
    if (result.gate.ok()) DecodeTag(result.spec, words, result.values, error);  // the value as rounded
    return result;
}

}  // namespace qel::session
