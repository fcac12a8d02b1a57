#include "session/twin/twin_files.h"

#include <cctype>

#include "plan/scan_plan.h"

namespace qel::session {

namespace {

std::string MissingText(const StationTwin& station) {
    std::string text;
    for (const auto& [area, count] : station.missing) {
        if (!text.empty()) text += ", ";
        text += AreaMnemonic(area) + " (" + std::to_string(count) + (count == 1 ? " element)" : " elements)");
    }
    return text;
}

}  // namespace

char FasimParity(const std::string& parity) {
    if (parity == "none") return 'N';
    if (parity == "odd") return 'O';
    if (parity == "even") return 'E';
    if (parity == "mark") return 'M';
    if (parity == "space") return 'S';
    return '?';
}

std::string FasimConfigText(const LineTwin& twin, const LineOptions& line, const std::string& origin) {
    std::string text = "# A line's twin: " + origin + "\n";
    text += "# fasim --config " + std::string(kTwinConfigFile) + " --link PATH plays it.\n";
    text += "baud " + std::to_string(line.baud) + "\n";
    text += "data-bits " + std::to_string(line.dataBits) + "\n";
    text += std::string("parity ") + FasimParity(line.parity) + "\n";
    // fasim sends one or two stop bits; a line of 1.5 is played with two.
    if (line.stopBits == "1.5") text += "# the line has 1.5 stop bits\n";
    text += "stop-bits " + std::string(line.stopBits == "1" ? "1" : "2") + "\n";
    for (const StationTwin& station : twin.stations) {
        text += "station " + std::to_string(station.station) + ":" + station.model + "\n";
        if (station.turnaroundMs)
            text += "station-turnaround " + std::to_string(station.station) + ":" +
                    std::to_string(*station.turnaroundMs) + "\n";
        if (!station.complete())
            text += "# station " + std::to_string(station.station) + " did not answer every read; not in " +
                    kTwinMemoryFile + ": " + MissingText(station) + "\n";
    }
    text += "memory " + std::string(kTwinMemoryFile) + "\n";
    return text;
}

std::string MemoryFileText(const LineTwin& twin) {
    std::string text = "# station area number value\n";
    for (const auto& [key, value] : twin.values) {
        const std::string gas = plan::ElementGas(key.station, key.areaCode, key.element);
        if (gas.size() < 5) continue;
        // "001IO0157": the mnemonic, then the written number without its zeros.
        std::size_t digits = 5;
        while (digits + 1 < gas.size() && gas[digits] == '0') ++digits;
        text += std::to_string(key.station) + " " + gas.substr(3, 2) + " " + gas.substr(digits) + " " +
                std::to_string(value) + "\n";
    }
    return text;
}

}  // namespace qel::session
