// `qelhost poll --stats`: the line scheduler's per-station counters as a table.
#pragma once

#include <string>

#include "session/line/line_stats.h"

namespace qel::qelhost {

// The program works in the session library's terms throughout.
using namespace qel::session;

// A heading line, then one line per station seen.
std::string StationTable(const LineSnapshot& snapshot);

}  // namespace qel::qelhost
