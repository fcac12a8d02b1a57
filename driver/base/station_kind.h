// What the driver tells apart of a station's model text. The texts and the
// one function that reads a station's kind from the workspace are in
// config/station_models.h.
#pragma once

#include <cstdint>

namespace qel {

enum class StationKind : std::uint8_t {
    FA2,    // the text is exactly "FA2"
    FA3,    // the text is exactly "FA3"
    Other,  // any other text: FA3 addresses and requests, but not the FA3 reply handling throughout
};

}  // namespace qel
