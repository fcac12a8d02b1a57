// The named tags of a gate list, read and written by name through the gate
// access (the HTTP tag paths, the Python module): each read is the tag's
// gate planned whole, so a 32-bit value comes from one exchange; each write
// goes through the tag's conversion (tag_write.h) and the allow list.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "session/gates/gate_access.h"
#include "session/gates/gate_list.h"

namespace qel::session {

struct TagResult {
    bool known = false;        // false: no tag of that name (the result says which there are)
    std::string name;
    TagSpec spec;
    bool block = false;        // an array of values
    GateResult gate;           // the words read or written, or the failure
    std::vector<double> values;  // the engineering values of a read
};

class TagTable {
public:
    // The words a front-end gives a refused gate's diagnosis.
    using GateWords = std::function<std::string(const GateDiagnosis&)>;
    // The named entries of the list, each checked by the driver through
    // `access` (its words included). False with "origin:line: reason", a
    // gate the driver refuses in `words` (without them, the bare fact).
    bool Load(const std::vector<ListedGate>& listed, GateAccess& access, const std::string& origin,
              std::string& error, const GateWords& words = {});
    bool Empty() const { return tags_.empty(); }
    std::vector<std::string> Names() const;

    // `client`: the call's scheduler client (GateAccess::NewClient, for
    // Withdraw); 0: one of its own.
    TagResult Read(GateAccess& access, const std::string& name, std::uint64_t client = 0) const;
    // `value` in the tag's units; refused before the line when it does not
    // fit (BadValue), or when `allow` is given and misses one of its words.
    TagResult Write(GateAccess& access, const std::string& name, double value,
                    const WriteAllowList* allow = nullptr, std::uint64_t client = 0) const;

    // The same in two halves, for a caller that waits on the scheduler's
    // wake descriptor (the HTTP tag paths): the call to queue, or none with
    // the answer in `now` (no such tag, a value refused); then the tag's
    // result of the finished call.
    std::unique_ptr<GateCall> BeginRead(GateAccess& access, const std::string& name, TagResult& now,
                                        std::uint64_t client = 0) const;
    std::unique_ptr<GateCall> BeginWrite(GateAccess& access, const std::string& name, double value,
                                         const WriteAllowList* allow, TagResult& now, std::uint64_t client = 0) const;
    TagResult Finish(GateAccess& access, const std::string& name, GateCall& call) const;
    // A finished read's or write's words as the tag's result.
    TagResult Finished(const std::string& name, GateResult gate) const;

private:
    struct Tag {
        ListedGate listed;
    };
    const Tag* Find(const std::string& name, TagResult& result) const;

    std::map<std::string, Tag> tags_;
};

}  // namespace qel::session
