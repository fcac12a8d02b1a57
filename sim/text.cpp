#include "text.h"

#include <cctype>
#include <cstdlib>

namespace fasim::text {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::vector<std::string> Words(std::string_view s) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    std::size_t j = i;
    while (j < s.size() && !std::isspace(static_cast<unsigned char>(s[j]))) ++j;
    if (j > i) out.emplace_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::optional<std::uint64_t> ParseUnsigned(std::string_view s, std::uint64_t max) {
  unsigned base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty() || s.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : s) {
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return std::nullopt;
    if (value > max / base) return std::nullopt;
    value *= base;
    if (digit > max - value) return std::nullopt;
    value += digit;
  }
  return value;
}

std::optional<double> ParseProbability(std::string_view s) {
  const std::string str(s);
  if (str.empty()) return std::nullopt;
  char* end = nullptr;
  const double v = std::strtod(str.c_str(), &end);
  if (end == nullptr || *end != '\0' || !(v >= 0.0 && v <= 1.0)) return std::nullopt;
  return v;
}

std::optional<bool> ParseBool(std::string_view s) {
  const std::string u = Upper(s);
  if (u == "ON" || u == "YES" || u == "TRUE" || u == "1") return true;
  if (u == "OFF" || u == "NO" || u == "FALSE" || u == "0") return false;
  return std::nullopt;
}

}  // namespace fasim::text
