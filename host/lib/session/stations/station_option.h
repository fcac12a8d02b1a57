// Station numbers as a user writes them: "2:FA3" names a station's model,
// "0-31,40" chooses stations. The parsers give what is wrong as a value; each
// program says it in its own words, naming its own option.
#pragma once

#include <string>
#include <vector>

#include "session/stations/model_file_check.h"

namespace qel::session {

struct StationModelOption {
    unsigned station = 0;
    std::string model;  // "FA2" or "FA3"
};

// What is wrong with a station's model text: the station (not 0 to 255, or
// no colon before the model), or the model (not FA2 or FA3).
enum class StationModelFault { None, Station, Model };

// "2:FA3", "002:fa3": None, and the option; else what is wrong.
StationModelFault ParseStationModel(const std::string& text, StationModelOption& option);

// Applies the options over the models a file gave; the later option wins.
void ApplyStationOptions(const std::vector<StationModelOption>& options, StationModels& models);

// "0-255", "1,2,7-9": the stations in ascending order, each once; false
// for anything but stations 0 to 255 as ranges and lists.
bool ParseStationList(const std::string& text, std::vector<unsigned>& stations);

}  // namespace qel::session
