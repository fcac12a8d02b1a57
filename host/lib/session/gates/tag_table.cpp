#include "session/gates/tag_table.h"

#include "session/gates/gate_rounds.h"
#include "session/gates/tag_convert.h"
#include "session/gates/tag_write.h"

namespace qel::session {

bool TagTable::Load(const std::vector<ListedGate>& listed, GateAccess& access, const std::string& origin,
                    std::string& error, const GateWords& words) {
    tags_.clear();
    const GateCheck check(
        [&access](Gate& gate) { return !access.Check(gate).has_value(); },
        [&access, &words](const Gate& gate) {
            Gate again = gate;
            const std::optional<GateDiagnosis> refused = access.Check(again);
            return refused && words ? words(*refused) : std::string();
        });
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

TagResult TagTable::Read(GateAccess& access, const std::string& name, std::uint64_t client) const {
    TagResult now;
    std::unique_ptr<GateCall> call = BeginRead(access, name, now, client);
    if (!call) return now;
    access.Call(*call);
    return Finish(access, name, *call);
}

TagResult TagTable::Write(GateAccess& access, const std::string& name, double value,
                          const WriteAllowList* allow, std::uint64_t client) const {
    TagResult now;
    std::unique_ptr<GateCall> call = BeginWrite(access, name, value, allow, now, client);
    if (!call) return now;
    access.Call(*call);
    return Finish(access, name, *call);
}

std::unique_ptr<GateCall> TagTable::BeginRead(GateAccess& access, const std::string& name, TagResult& now,
                                              std::uint64_t client) const {
    now = TagResult{};
    const Tag* tag = Find(name, now);
    if (tag == nullptr) return nullptr;
    return access.BeginReadGate(tag->listed.gate, now.gate, client);
}

std::unique_ptr<GateCall> TagTable::BeginWrite(GateAccess& access, const std::string& name, double value,
                                               const WriteAllowList* allow, TagResult& now,
                                               std::uint64_t client) const {
    now = TagResult{};
    const Tag* tag = Find(name, now);
    if (tag == nullptr) return nullptr;
    const Gate& gate = tag->listed.gate;
    if (now.block) {
        now.gate.failure = GateFailure::BadValue;
        now.gate.reason = name + " is an array; it is not written whole";
        return nullptr;
    }
    std::vector<std::uint16_t> words;
    std::string error;
    if (!TagWriteWords(now.spec, gate, value, words, error)) {
        now.gate.failure = GateFailure::BadValue;
        now.gate.reason = name + " takes no " + NumberText(value) + ": " + error;
        return nullptr;
    }
    if (allow != nullptr && !AllowsTagWrite(*allow, gate, words.size())) {
        now.gate.failure = GateFailure::NotAllowed;
        now.gate.reason = "the write allow-list does not hold every word of " + name + " (" + gate.gas + ")";
        return nullptr;
    }
    return access.BeginWriteWords(gate, words, client);
}

TagResult TagTable::Finish(GateAccess& access, const std::string& name, GateCall& call) const {
    return Finished(name, access.Finish(call));
}

TagResult TagTable::Finished(const std::string& name, GateResult gate) const {
    TagResult result;
    if (Find(name, result) == nullptr) return result;
    result.gate = std::move(gate);
    if (!result.gate.ok()) return result;
    std::string error;
    // A write's words decode to the value as rounded.
    if (!DecodeTag(result.spec, result.gate.values, result.values, error)) {
        result.gate.failure = GateFailure::BadValue;
        result.gate.reason = name + ": " + error;
    }
    return result;
}

}  // namespace qel::session
