// How the session library tells the program what it has to say: it never
// writes to stderr or stdout itself. Each object that reports is given its
// own sink by whoever makes it (a program's printer, a Python line's
// capture), as a client library takes a log callback per client: two lines
// in one process report to two places, and nothing is swapped around a call.
// An empty sink silences the object.
#pragma once

#include <functional>
#include <string>

namespace qel::session {

enum class Severity {
    DriverLog,  // a line of the driver's own log, for -v: "LEVEL MESSAGE"
    Info,       // what the library did (a station down or up again, the port reopened)
    Warning,    // a doubtful line in a file the user gave
    Error,      // why an operation failed
};

// Called from whichever thread reports (the line scheduler's among them):
// a sink that keeps state guards it.
using ReportSink = std::function<void(Severity severity, const std::string& text)>;

// Hands the text to the sink, if there is one.
void Report(const ReportSink& sink, Severity severity, const std::string& text);

}  // namespace qel::session
