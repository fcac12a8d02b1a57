// Turns a failed port open into one line that says what to do.
#pragma once

#include <string>

namespace qelhost {

std::string ExplainOpenFailure(const std::string& port);

}  // namespace qelhost
