// Where the driver's log lines go: nowhere unless asked (-v: stderr, --log:
// a file), and into a short memory that a command reads to explain a failure.
#pragma once

#include <string>
#include <vector>

namespace qel::session {

// Routes the driver's messages: to logFile when it is named, else to stderr
// when verbose, else nowhere. False when the file cannot be opened.
bool RouteDriverLog(bool verbose, const std::string& logFile);

// The messages the driver logged since the last ForgetDriverLog.
std::vector<std::string> DriverLogSince();
void ForgetDriverLog();

// True when a message since the last ForgetDriverLog contains text.
bool DriverLogged(const char* text);

}  // namespace qel::session
