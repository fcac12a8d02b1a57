#include "session/stations/station_kind.h"

namespace qel::session {

StationKind StationKindOf(std::string_view model) {
    if (model == kModelFa2) return StationKind::FA2;
    if (model == kModelFa3) return StationKind::FA3;
    return StationKind::Other;
}

std::string ModelText(StationKind kind) { return std::string(kind == StationKind::FA2 ? kModelFa2 : kModelFa3); }

std::string ModelName(StationKind kind) {
    switch (kind) {
        case StationKind::FA2: return "FA-2";
        case StationKind::FA3: return "FA-3";
        case StationKind::Other: break;
    }
    return "an unknown model";
}

bool IsKnownModel(std::string_view model) { return StationKindOf(model) != StationKind::Other; }

}  // namespace qel::session
