// The command-line options of a session with the driver, for every program
// that drives a QEL: they fill the session library's plain settings.
#pragma once

#include <CLI/CLI.hpp>

#include "session/session_options.h"

namespace qel::cli {

// Adds --port, --baud, --data-bits, --parity, --stop-bits, --timeout, --qel,
// --models, --station, --driver, --log, -v, --driver-retries and
// --probe-timeout to app.
void AddSessionOptions(CLI::App& app, session::SessionOptions& options);

}  // namespace qel::cli
