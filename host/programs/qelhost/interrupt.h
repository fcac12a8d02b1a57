// Ctrl-C for the commands that run a while (poll, record, scan, snapshot):
// the first asks the command to stop at the end of what is under way, a
// second ends the program at once (exit 130). And whether an output is a
// terminal, for the bars and tables that redraw themselves.
#pragma once

namespace qel::qelhost {

// From now on SIGINT (and SIGTERM with `alsoTerm`) asks for a stop; `note`,
// when given, is said on stderr at the first. Clears an earlier request.
void StopOnInterrupt(const char* note, bool alsoTerm);
bool StopAsked();
// SIGINT and SIGTERM as they were at the start.
void InterruptsAsBefore();

bool StdoutIsTerminal();
bool StderrIsTerminal();

}  // namespace qel::qelhost
