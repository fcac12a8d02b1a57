// The programs' words for a setting the session library could not use: the
// library gives the fact (which setting, what is wrong with it), these name
// the programs' own options (--station, --driver, --port, --baud, ...).
#pragma once

#include <string>

#include "session/host_context.h"
#include "session/stations/station_option.h"

namespace qel::cli {

// "--station 2:FA4: the model is FA2 or FA3".
std::string StationModelWords(const std::string& text, session::StationModelFault fault);

// "--stations 0-300: write stations 0 to 255 as a range or a list, e.g.
// 0-255 or 1,2,10-20", with the option that took the list.
std::string StationListWords(const std::string& option, const std::string& text);

// What to change after a failed open, in the options' names ("name another
// driver with --driver PATH"); empty when the fault names no setting.
std::string OpenFaultWords(session::OpenFault fault, const std::string& port);

// After a failed Open: the advice for its fault, reported through the
// program's printer as an error; the exit code for the result.
int OpenFailed(const session::HostContext& host, session::OpenResult result);

}  // namespace qel::cli
