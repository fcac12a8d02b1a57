// The station model file of a run: the lines of --models FILE, then one line
// per --station N:FA3 (which win, being later).
#pragma once

#include <string>
#include <vector>

namespace qelgate {

// Checks "N:MODEL" (N 0..255, MODEL FA2 or FA3); empty when good, else why not.
std::string CheckStationOption(const std::string& text);

// Writes the combined model file to a fresh temporary path; false with a reason.
bool WriteModelFile(const std::string& modelsFile, const std::vector<std::string>& stations, std::string& path,
                    std::string& error);

}  // namespace qelgate
