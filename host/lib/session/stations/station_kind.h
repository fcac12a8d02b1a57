// A station's model as the host sees it: the model texts the driver knows,
// kept here and nowhere else on the host side, and the kind a model text
// gives. The driver takes only "FA2" for an FA-2; "FA3" and any other text
// get the FA-3 addresses and frames.
#pragma once

#include <string>
#include <string_view>

namespace qel::session {

enum class StationKind {
    FA2,    // the text is exactly "FA2"
    FA3,    // the text is exactly "FA3"
    Other,  // any other text (a model file line the driver keeps but does not know)
};

inline constexpr std::string_view kModelFa2 = "FA2";
inline constexpr std::string_view kModelFa3 = "FA3";

StationKind StationKindOf(std::string_view model);
// "FA2" or "FA3" (Other gives "FA3", the frames the driver uses for it).
std::string ModelText(StationKind kind);
// "FA-2" or "FA-3", for messages (Other gives "an unknown model").
std::string ModelName(StationKind kind);
// True for the two model texts the driver knows.
bool IsKnownModel(std::string_view model);

}  // namespace qel::session
