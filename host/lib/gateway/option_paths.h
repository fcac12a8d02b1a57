// Where qelgate's paths are taken from. In the configuration file a relative
// path is taken from the file's folder; on the command line from the working
// directory the program started in. Both are resolved when the options are
// read, at the start and again at each reload, so that nothing depends on
// the folder the program works in later (the session moves into a
// directory of its own for the driver).
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "gateway/gate_options.h"

namespace qel::gateway {

// Calls visit(key, value) for every option that holds a path: the files
// read, the folder of the buffer, the driver and its log, the port when it
// is a path (a bare name such as ttyUSB0 is the driver's /dev, tcp:HOST:PORT
// no path at all). The config file itself is one of them.
void ForEachPath(Options& o, const std::function<void(const std::string& key, std::string& value)>& visit);

// Makes each relative path of o absolute from base.
void ResolvePaths(Options& o, const std::filesystem::path& base);

// The command line with the values of its path options (--key=VALUE and
// --key VALUE) made absolute from base: parsed again at a reload, it names
// the same files, and CLI11's checks that a file exists look at those.
std::vector<std::string> AbsoluteCommandLine(const std::vector<std::string>& args, const std::filesystem::path& base);

// Whether the key's value is a path in the configuration file (the port only
// when it names one, as ResolvePaths takes it).
bool IsPathKey(const std::string& key, const std::string& value);

// The working directory the program started in: taken on the first call,
// which qelgate makes before anything changes the directory.
const std::filesystem::path& StartDirectory();

}  // namespace qel::gateway
