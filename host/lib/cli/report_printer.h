// The programs' end of the session library's reports (session/report/report.h):
// each on stderr as one line, headed by the program's name ("qelhost: ...",
// "qelgate: ..."), a warning as "NAME: warning: ...", and the driver's own
// log lines (-v) as the driver gives them.
#pragma once

#include "session/report/report.h"

namespace qel::cli {

// Sets the program's name for the heads and makes the printer (without
// infos: the errors, warnings and driver log only) that Printer gives.
void PrintReports(const char* programName, bool infos = true);

// The program's printer, for each object of the libraries it makes (a
// HostContext, a scheduler, the Modbus server); empty before PrintReports.
const session::ReportSink& Printer();

}  // namespace qel::cli
