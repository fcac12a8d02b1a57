#include "session/twin/line_twin.h"

namespace qel::session {

bool LineTwin::complete() const {
    for (const StationTwin& station : stations)
        if (!station.complete()) return false;
    return true;
}

std::string AreaMnemonic(std::uint32_t areaCode) {
    static const char* const names[] = {"TM", "CT", "DR", "CP", "TP", "IO", "IR", "SR", "WO"};
    return areaCode < 9 ? names[areaCode] : "";
}

}  // namespace qel::session
