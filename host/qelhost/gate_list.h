// The gate list of `qelhost poll`: one gate per line, "GAS [COUNT] [bit|word]";
// blank lines and lines starting with # are skipped.
#pragma once

#include <string>
#include <vector>

#include "qel_session.h"

namespace qelhost {

// False with "file:line: reason" in error.
bool ReadGateList(const std::string& path, std::vector<Gate>& gates, std::string& error);

}  // namespace qelhost
