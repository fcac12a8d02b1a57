// Station numbers on the command line: "--station 2:FA3" names a station's
// model, "--stations 0-31,40" chooses the stations a scan probes.
#pragma once

#include <string>
#include <vector>

#include "session/stations/model_file_check.h"

namespace qel::session {

struct StationModelOption {
    unsigned station = 0;
    std::string model;  // "FA2" or "FA3"
};

// "2:FA3", "002:fa3": false with a reason for anything else.
bool ParseStationModel(const std::string& text, StationModelOption& option, std::string& error);

// Applies the options over the models a file gave; the later option wins.
void ApplyStationOptions(const std::vector<StationModelOption>& options, StationModels& models);

// "0-255", "1,2,7-9": the stations in ascending order, each once.
bool ParseStationList(const std::string& text, std::vector<unsigned>& stations, std::string& error);

}  // namespace qel::session
