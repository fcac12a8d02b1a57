// The files of a line's twin, as fasim reads them: its configuration (the
// line settings, the stations, their models and turnarounds, the memory
// file it names) and its memory file (every value read). Texts only; the
// writing to disk is whole_file.h's.
#pragma once

#include <string>

#include "session/driver/qel_session.h"
#include "session/twin/line_twin.h"

namespace qel::session {

// The memory file's name inside the snapshot's folder, as fasim.conf names it.
inline constexpr const char* kTwinMemoryFile = "memory.txt";
inline constexpr const char* kTwinConfigFile = "fasim.conf";
// The stations' models as a station model file, for --models of the host
// programs that read the twin.
inline constexpr const char* kTwinModelFile = "models.int";

// fasim's configuration. `origin` is said in its first comment line (where
// and when the snapshot was taken). Areas a station did not answer for are
// named in a comment: fasim serves them as zero, the memory file has none of
// their values.
std::string FasimConfigText(const LineTwin& twin, const LineOptions& line, const std::string& origin);

// One line per value, "<station> <area> <number> <value>", by station, area
// and element, the number as a gate address writes it.
std::string MemoryFileText(const LineTwin& twin);

// fasim's letter for the line's parity ("even" -> 'E'); '?' for none it knows.
char FasimParity(const std::string& parity);

}  // namespace qel::session
