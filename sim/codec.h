// Character-level rules of the link: nibbles travel as the characters
// '0'..'?' (0x30 + n), bytes as two of them (high nibble first), words as
// four, either high byte first or low byte first. Checksums add the digit
// values of characters modulo 256.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fasim::codec {

constexpr char kCR = '\r';

char NibbleChar(unsigned nibble);
std::optional<unsigned> NibbleValue(char c);  // nullopt unless '0'..'?'
bool AllDigits(std::string_view s);

std::string ByteField(unsigned value);       // low 8 bits, "?3" for 0xF3
std::string WordFieldHigh(std::uint16_t v);  // 0x1234 -> "1234"
std::string WordFieldLow(std::uint16_t v);   // 0x1234 -> "3412"

// Decoders return nullopt when a character is not a digit.
std::optional<unsigned> ParseByte(std::string_view two);
std::optional<std::uint16_t> ParseWordHigh(std::string_view four);
std::optional<std::uint16_t> ParseWordLow(std::string_view four);

// Sum of (character - 0x30) modulo 256.
std::uint8_t DigitSum(std::string_view chars);

}  // namespace fasim::codec
