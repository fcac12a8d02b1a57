// The words for a command line nearly right: an unknown command or option
// gets the nearest one; an option whose value is missing or written wrongly
// gets the form it takes. For every program's "PROGRAM: ..." usage error.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace qel::cli {

// CLI11's error, made plain: what was wrong and what is accepted. app: the
// program's app (its subcommands and options); args: the command line
// without the program's name.
std::string UsageHint(const CLI::App& app, const CLI::ParseError& error, const std::vector<std::string>& args);

}  // namespace qel::cli
