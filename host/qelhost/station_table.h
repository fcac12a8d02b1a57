// `qelhost poll --stats`: the line scheduler's per-station counters as a table.
#pragma once

#include <string>

#include "line_stats.h"

namespace qelhost {

// A heading line, then one line per station seen.
std::string StationTable(const LineSnapshot& snapshot);

}  // namespace qelhost
