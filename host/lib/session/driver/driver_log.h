// Where the driver's log lines go: nowhere unless the program asks (-v: a
// DriverLog report to the sink it names; --log: a file). The driver writes
// through the host's logging library, which writes on stderr until told
// otherwise; loading the driver routes it nowhere first, so a host that
// never asks hears nothing. The driver room reads the few facts its lines
// carry (its build stamp, its read retries) so that no program searches the
// log's text.
#pragma once

#include <string>

#include "session/report/report.h"

namespace qel::session {

// Routes the driver's messages: to logFile when it is named, else nowhere;
// each line also to sink as a DriverLog report when verbose. The driver's log
// is one per process: the last route wins. False when the file cannot be
// opened.
bool RouteDriverLog(bool verbose, const std::string& logFile, ReportSink sink);

// Routes the driver's messages nowhere unless a program routed them already:
// called before the driver is loaded.
void QuietDriverLogUnlessRouted();

// The build stamp the driver logged when a QEL was initialised ("Dec  8 2026
// at 17:00:00"); empty before that.
std::string DriverBuildStamp();

// The read retries the driver logged on the calling thread since the last
// call (its own retry loop, --driver-retries): the driver logs on the
// thread that called it.
int TakeDriverReadRetries();

}  // namespace qel::session
