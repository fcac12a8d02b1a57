// The initial-values file: one value per line,
//   <station> <area> <number as written in a gate address> <value>
// e.g. "1 DR 10 4660", "2 IO 157 1", "1 TM 5 0x1234". Blank lines and
// lines starting with '#' are ignored.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fasim.h"

namespace fasim {

struct MemoryInit {
  int station;
  std::string area;
  unsigned number;
  std::uint16_t value;
};

// Reads and checks the file against the configured stations. On error,
// `error` names the file, the line number and the reason.
bool ReadMemoryFile(const std::string& path, const std::map<int, Model>& stations,
                    std::vector<MemoryInit>& out, std::string& error);

}  // namespace fasim
