#include "python_names.h"

#include <cstdio>
#include <string>

namespace qel::python {

namespace {

// "0.3" for 300 ms: Line's times are seconds.
std::string Seconds(int ms) {
    char text[24];
    std::snprintf(text, sizeof text, "%.3f", ms / 1000.0);
    std::string s = text;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

}  // namespace

const cli::SettingNames& PythonNames() {
    static const cli::SettingNames names{
        [](unsigned station, const std::string& model) {
            return "stations={" + std::to_string(station) + ": \"" + model + "\"}";
        },
        "baud=, parity=, data_bits= and stop_bits=",
        [](int ms) { return "probe_timeout to " + Seconds(ms); },
        [](int ms) { return "timeout to " + Seconds(ms); },
        "line.scan()",
        "",
        "",  // the data type follows the area
        "",
        "count=N",
        "models=\"FILE\"",
    };
    return names;
}

}  // namespace qel::python
