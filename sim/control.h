// The text control protocol: one command per line, one answer per command.
//
//   get <station> <area> <number>          -> the value in decimal
//   set <station> <area> <number> <value>  -> ok
//   set <station> <area> <number> <v1> <v2> ...
//                                          -> ok: consecutive words at once
//   force <station>                        -> 0 or 1
//   force <station> on|off                 -> ok
//   silent <station>                       -> 0 or 1
//   silent <station> on|off                -> ok
//   trace clear                            -> ok
//   trace                                  -> the records, one per line, then "end"
//   stations                               -> e.g. "1:FA2 2:FA3"
//   help                                   -> the command list
// Anything unknown or invalid answers "error: <reason>".
#pragma once

#include <string>
#include <string_view>

namespace fasim {

class Simulator;

std::string RunControlCommand(Simulator& sim, std::string_view line);
const char* ControlHelp();

}  // namespace fasim
