// How the session library tells the program what it has to say: it never
// writes to stderr or stdout itself. The program sets one sink (at the start
// of main, before any thread of the library runs) and prints the reports its
// own way; without a sink the library is silent.
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

using ReportSink = std::function<void(Severity severity, const std::string& text)>;

// Replaces the sink; an empty one silences the library.
void SetReportSink(ReportSink sink);

// Hands the text to the sink, if there is one.
void Report(Severity severity, const std::string& text);

}  // namespace qel::session
