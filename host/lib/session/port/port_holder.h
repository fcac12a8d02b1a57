// Who holds a device: the process that has it locked, or failing that the
// other processes that have it open, as /proc tells.
#pragma once

#include <string>

namespace qel::session {

// "fasim (pid 1234)", "qelgate (pid 88), fasim (pid 1234)", or empty when
// the system does not tell (another user's processes, or no /proc).
std::string PortHolder(const std::string& path);

}  // namespace qel::session
