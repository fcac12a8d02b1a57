// --write-allow FILE: the gates a client may write, whichever front-end it
// comes through (Modbus TCP, MQTT). One gate per line, "GAS [COUNT]" (COUNT
// consecutive elements from GAS); blank lines and '#' comments are skipped
// (common/line_file.h). Entries are checked by the driver, so IM0400 and IR0400 name the
// same relay.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <tuple>

#include "common/line_file.h"
#include "session/gates/gate_address.h"
#include "session/driver/qel_session.h"

namespace qel::session {

// The driver's single-gate check (QEL_CHECK_GATE, or QEL_CHECK_BLOCK for a
// count above 1): true when it accepts the gate and stored its definition.
using GateCheck = std::function<bool(Gate&)>;

class WriteAllowList {
public:
    // False with "file:line: reason" in error.
    bool Load(const std::string& path, const GateCheck& check, std::string& error);
    // The same for entries already split into lines; `origin` names where
    // they came from in the errors.
    bool Load(const std::vector<common::TextLine>& lines, const std::string& origin, const GateCheck& check,
              std::string& error);
    bool Allows(const GateDefinition& gate) const;
    std::size_t Size() const { return gates_.size(); }

private:
    std::set<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>> gates_;  // station, area, element
};

}  // namespace qel::session
