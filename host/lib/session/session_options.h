// The settings of a session with the driver, shared by every program that
// drives a QEL: the line, the station models, the driver and its log. The
// programs fill them from their command lines (host/cli).
#pragma once

#include <string>
#include <vector>

#include "session/driver/qel_session.h"
#include "session/stations/station_option.h"

namespace qel::session {

struct SessionOptions {
    LineOptions line;
    bool timeoutGiven = false;  // --timeout was on the command line
    std::string modelsFile;
    std::vector<StationModelOption> stations;  // --station N:MODEL, in order
    std::string driverPath;
    std::string logFile;
    bool verbose = false;
    // The line scheduler (line_scheduler.h): the driver's own retries
    // instead of the scheduler's, and the time-out of a probe and of an
    // attempt on a station without a recent answer.
    bool driverRetries = false;
    int probeTimeoutMs = 100;
};

}  // namespace qel::session
