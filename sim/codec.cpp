#include "codec.h"

namespace fasim::codec {

char NibbleChar(unsigned nibble) { return static_cast<char>(0x30 + (nibble & 0x0F)); }

std::optional<unsigned> NibbleValue(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u < 0x30 || u > 0x3F) return std::nullopt;
  return static_cast<unsigned>(u - 0x30);
}

bool AllDigits(std::string_view s) {
  for (char c : s)
    if (!NibbleValue(c)) return false;
  return true;
}

std::string ByteField(unsigned value) {
  std::string s(2, '0');
  s[0] = NibbleChar((value >> 4) & 0x0F);
  s[1] = NibbleChar(value & 0x0F);
  return s;
}

std::string WordFieldHigh(std::uint16_t v) { return ByteField(v >> 8) + ByteField(v & 0xFFu); }

std::string WordFieldLow(std::uint16_t v) { return ByteField(v & 0xFFu) + ByteField(v >> 8); }

std::optional<unsigned> ParseByte(std::string_view two) {
  if (two.size() != 2) return std::nullopt;
  const auto hi = NibbleValue(two[0]);
  const auto lo = NibbleValue(two[1]);
  if (!hi || !lo) return std::nullopt;
  return (*hi << 4) | *lo;
}

std::optional<std::uint16_t> ParseWordHigh(std::string_view four) {
  if (four.size() != 4) return std::nullopt;
  const auto hi = ParseByte(four.substr(0, 2));
  const auto lo = ParseByte(four.substr(2, 2));
  if (!hi || !lo) return std::nullopt;
  return static_cast<std::uint16_t>((*hi << 8) | *lo);
}

std::optional<std::uint16_t> ParseWordLow(std::string_view four) {
  if (four.size() != 4) return std::nullopt;
  const auto lo = ParseByte(four.substr(0, 2));
  const auto hi = ParseByte(four.substr(2, 2));
  if (!hi || !lo) return std::nullopt;
  return static_cast<std::uint16_t>((*hi << 8) | *lo);
}

std::uint8_t DigitSum(std::string_view chars) {
  unsigned sum = 0;
  for (char c : chars) sum += static_cast<unsigned>(static_cast<unsigned char>(c)) - 0x30u;
  return static_cast<std::uint8_t>(sum & 0xFFu);
}

}  // namespace fasim::codec
