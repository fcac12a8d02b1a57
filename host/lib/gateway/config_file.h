// qelgate --config FILE: the options in TOML, read with toml++. Each key is a
// long option's name (listen, port, http, mqtt, line-name, ...), its value
// the option's: a string or a number (an empty string: the default), true
// or false for a flag, an array for
// a repeatable option (station = ["2:FA3", "7:FA3"]). `publish` and
// `write-allow` are a file's path, or the list itself inline: an array of
// strings in the list's own line format, or of tables such as
// { gate = "001DR0010", period = "1s", tag = "tank_level" }. A relative path
// is taken from the file's directory, each time the file is read. CLI11 checks every value as it checks
// the command line, and the command line wins over the file. Errors name
// FILE:LINE:COLUMN, the key and what would be right.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/line_file.h"
#include "gateway/gate_options.h"
#include "gateway/option_paths.h"

namespace qel::gateway {

struct ConfigFile {
    std::vector<std::string> args;  // --key=value, --flag, in the file's order
    bool publishInline = false;
    std::vector<common::TextLine> publishLines;  // numbered by the file's lines
    bool writeAllowInline = false;
    std::vector<common::TextLine> writeAllowLines;
    std::map<std::string, std::string> where;  // key -> FILE:LINE:COLUMN of the key
};

// Reads the file into options; keys in `skip` (long names without "--",
// given on the command line) are left out. False with the error.
bool ReadConfigFile(const std::string& path, const std::set<std::string>& skip, ConfigFile& config,
                    std::string& error);

// The command line (without the program's name) with the file that its
// --config names under it. False with the error: CLI11's for the command
// line, file:line:column ones for the file. Relative paths are made absolute
// (option_paths.h); the stations of the file and the command line are
// merged station by station, the command line winning.
bool LoadOptions(const std::vector<std::string>& commandLine, Options& options, std::string& error);

// AbsoluteCommandLine and the other rules of the paths: option_paths.h.

// The configuration in effect, as a file that --config reads (the password
// left out).
std::string EffectiveConfig(const Options& options);

}  // namespace qel::gateway
