#include "session/gates/write_value.h"

namespace qel::session {

namespace {
// The largest value a counter or timer preset takes; the driver refuses more.
constexpr long long kMaxPreset = 9999;
}  // namespace

std::string RefuseValue(const GateDefinition& gate, std::int32_t dataType, long long value) {
    if (dataType == DATA_TYPE_BIT || gate.areaCode == AREA_FORCE) return value == 0 || value == 1 ? "" : "a bit is 0 or 1";
    if ((gate.areaCode == AREA_CP || gate.areaCode == AREA_TP) && (value < 0 || value > kMaxPreset))
        return "a preset is 0-9999";
    if (value < 0 || value > 65535) return "a word is 0 to 65535";
    return {};
}

}  // namespace qel::session
