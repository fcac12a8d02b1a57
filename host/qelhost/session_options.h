// The options of a session with the driver, shared by every program that
// drives a QEL: the line, the station models, the driver and its log.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "qel_session.h"
#include "station_option.h"

namespace qelhost {

struct SessionOptions {
    LineOptions line;
    bool timeoutGiven = false;  // --timeout was on the command line
    std::string modelsFile;
    std::vector<StationModelOption> stations;  // --station N:MODEL, in order
    std::string driverPath;
    std::string logFile;
    bool verbose = false;
};

// Adds --port, --baud, --data-bits, --parity, --stop-bits, --timeout, --qel,
// --models, --station, --driver, --log and -v to app.
void AddSessionOptions(CLI::App& app, SessionOptions& options);

}  // namespace qelhost
