// Whether a value fits the gate it is to be written to, checked before
// anything goes to the line, so that a write of several values is refused
// whole: a bit takes 0 or 1, a counter or timer preset (CP, TP) 0 to 9999
// (the driver refuses more), a word 0 to 65535.
#pragma once

#include <cstdint>
#include <string>

#include "vuzorur.h"

namespace qel::session {

// Why `value` does not fit, e.g. "a preset is 0-9999"; empty when it fits.
std::string RefuseValue(const GateDefinition& gate, std::int32_t dataType, long long value);

}  // namespace qel::session
