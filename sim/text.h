// Small text helpers shared by the option, file and control parsers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fasim::text {

std::string_view Trim(std::string_view s);
std::vector<std::string> Words(std::string_view s);  // split on blanks
std::string Upper(std::string_view s);
// Decimal, or hexadecimal with 0x; nullopt when not a number or above max.
std::optional<std::uint64_t> ParseUnsigned(std::string_view s, std::uint64_t max);
std::optional<double> ParseProbability(std::string_view s);  // 0..1
std::optional<bool> ParseBool(std::string_view s);           // on/off, yes/no, true/false, 1/0

}  // namespace fasim::text
