#include "session/stations/station_option.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace qel::session {

namespace {

bool ParseStation(const std::string& text, unsigned& station) {
    if (text.empty() || text.size() > 3) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), station);
    return ec == std::errc{} && end == text.data() + text.size() && station < STATION_COUNT;
}

}  // namespace

StationModelFault ParseStationModel(const std::string& text, StationModelOption& option) {
    const auto colon = text.find(':');
    if (colon == std::string::npos || !ParseStation(text.substr(0, colon), option.station))
        return StationModelFault::Station;
    option.model = text.substr(colon + 1);
    for (char& c : option.model) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return IsKnownModel(option.model) ? StationModelFault::None : StationModelFault::Model;
}

void ApplyStationOptions(const std::vector<StationModelOption>& options, StationModels& models) {
    for (const StationModelOption& option : options) {
        models.model[option.station] = option.model;
        models.named[option.station] = true;
        models.byOption[option.station] = true;
    }
}

bool ParseStationList(const std::string& text, std::vector<unsigned>& stations) {
    stations.clear();
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string part = text.substr(start, comma - start);
        const std::size_t dash = part.find('-');
        unsigned first = 0;
        unsigned last = 0;
        const bool ok = dash == std::string::npos
                            ? ParseStation(part, first) && ParseStation(part, last)
                            : ParseStation(part.substr(0, dash), first) && ParseStation(part.substr(dash + 1), last);
        if (!ok || first > last) return false;
        for (unsigned s = first; s <= last; ++s) stations.push_back(s);
        start = comma + 1;
    }
    std::sort(stations.begin(), stations.end());
    stations.erase(std::unique(stations.begin(), stations.end()), stations.end());
    return true;
}

}  // namespace qel::session
