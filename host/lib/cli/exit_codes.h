// The exit codes of the host programs: the driver's result for a read, a
// write or a check (0 done, 1 refused or illegal, 2 port or line failure),
// and 64 for a usage error. The session library returns values; what they
// mean to the shell is the programs' business.
#pragma once

#include "session/driver/driver_result.h"
#include "session/host_context.h"

namespace qel::cli {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;  // refused or illegal
constexpr int kExitLine = 2;     // port or line failure
constexpr int kExitUsage = 64;   // the command line or a file it names cannot be used

// The exit code for a result: 0, 1 or 2; for the opening of a session: 0,
// 64 for a setting that cannot be used, 2 for the port or the line.
int ExitCode(session::DriverResult result);
int ExitCode(session::OpenResult result);

}  // namespace qel::cli
