// Where the driver's log lines go: nowhere unless asked (-v: a DriverLog
// report, which the program prints; --log: a file), and into a short memory
// that a command reads (the driver's version message).
#pragma once

#include <string>
#include <vector>

namespace qel::session {

// Routes the driver's messages: to logFile when it is named, else to the
// report sink when verbose, else nowhere. False when the file cannot be opened.
bool RouteDriverLog(bool verbose, const std::string& logFile);

// The messages the driver logged since the last ForgetDriverLog.
std::vector<std::string> DriverLogSince();
void ForgetDriverLog();

}  // namespace qel::session
