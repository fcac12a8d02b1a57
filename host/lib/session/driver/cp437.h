// Code page 437 text (the driver's banner) shown on a UTF-8 terminal.
#pragma once

#include <string>
#include <string_view>

namespace qel::session {

std::string Cp437ToUtf8(std::string_view text);

}  // namespace qel::session
