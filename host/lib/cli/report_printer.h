// The programs' end of the session library's reports (session/report/report.h):
// each on stderr as one line, headed by the program's name ("qelhost: ...",
// "qelgate: ..."), a warning as "NAME: warning: ...", and the driver's own
// log lines (-v) as the driver gives them.
#pragma once

namespace qel::cli {

// Sets the program's name for the heads and the sink that prints the reports
// (without infos: the errors, warnings and driver log only).
void PrintReports(const char* programName, bool infos = true);

}  // namespace qel::cli
