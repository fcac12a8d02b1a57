// The publish list's tags beside their Modbus registers (qelgate --map), so
// that a SCADA engineer can type them in: Modbus stays raw registers, and
// this says which registers hold each tag and how to read them.
#pragma once

#include <string>
#include <vector>

#include "session/gates/gate_list.h"

namespace qel::modbus {

// One line per tag (an entry with tag=NAME): unit id, table, the 0-based
// register or coil addresses of its words, type, word order, scaling and
// unit. Empty when the list names no tag.
std::string TagMapText(const std::vector<session::ListedGate>& listed);

}  // namespace qel::modbus
