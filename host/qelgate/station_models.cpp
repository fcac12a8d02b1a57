#include "station_models.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace qelgate {

std::string CheckStationOption(const std::string& text) {
    const auto colon = text.find(':');
    const std::string number = text.substr(0, colon);
    const std::string model = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (number.empty() || number.size() > 3 || number.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(number) > 255 || (model != "FA2" && model != "FA3"))
        return "a station is N:MODEL, N 0..255 and MODEL FA2 or FA3, e.g. 2:FA3";
    return "";
}

bool WriteModelFile(const std::string& modelsFile, const std::vector<std::string>& stations, std::string& path,
                    std::string& error) {
    std::string text;
    if (!modelsFile.empty()) {
        std::ifstream in(modelsFile);
        if (!in) {
            error = "cannot read the station model file " + modelsFile;
            return false;
        }
        // A blank line ends the file for the driver.
        for (std::string line; std::getline(in, line) && !line.empty();) text += line + "\n";
    }
    for (const std::string& station : stations) {
        char line[16];
        std::snprintf(line, sizeof line, "%03d%s\n", std::atoi(station.c_str()), station.substr(station.find(':') + 1).c_str());
        text += line;
    }
    char name[] = "/tmp/qelgate-models-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) {
        error = "cannot make a temporary station model file";
        return false;
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    path = name;
    if (!written) error = "cannot write the temporary station model file " + path;
    return written;
}

}  // namespace qelgate
