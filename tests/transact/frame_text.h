// The text of the frames the driver is expected to put on the line, built
// from the protocol's own rules: a nibble n travels as the character 0x30 + n,
// a checksum is the 8-bit sum of (character - 0x30) over the frame's body.
// Written independently of the driver so that the two can be held against
// each other.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace e2e::frame {

inline constexpr char kCR = '\r';

inline char Digit(unsigned nibble) { return static_cast<char>('0' + (nibble & 0xFu)); }

// Two digits, high nibble first.
inline std::string Byte(unsigned value) {
    return {Digit((value >> 4) & 0xFu), Digit(value & 0xFu)};
}
inline std::string WordHigh(unsigned value) { return Byte((value >> 8) & 0xFFu) + Byte(value & 0xFFu); }
inline std::string WordLow(unsigned value) { return Byte(value & 0xFFu) + Byte((value >> 8) & 0xFFu); }

inline unsigned Sum(std::string_view text) {
    unsigned sum = 0;
    for (const char c : text) sum += static_cast<unsigned>(static_cast<unsigned char>(c)) - 0x30u;
    return sum & 0xFFu;
}

// command + body + checksum(body) + CR
inline std::string Framed(char command, const std::string& body) {
    return std::string(1, command) + body + Byte(Sum(body)) + kCR;
}

inline std::string Select(unsigned station) { return Framed('`', Byte(station)); }

// FA2 single element: subcode '1'..'8', '>' or '?', one-byte address.
inline std::string ReadElement(char subcode, unsigned address) {
    return Framed('R', std::string(1, subcode) + Byte(address));
}
// FA2 preset: 'Z' for CP, 'Y' for TP.
inline std::string ReadPreset(char command, unsigned element) { return Framed(command, Byte(element)); }
// FA2 data-register block.
inline std::string ReadDataBlock(unsigned element, unsigned count) {
    return Framed(']', "1" + WordHigh(0x8200u + 2u * element) + Byte((2u * count) & 0xFFu));
}
// Every FA3 read.
inline std::string ReadBlockFa3(std::string_view sub, unsigned address, unsigned byteCount) {
    return Framed(']', "4" + std::string(sub) + WordHigh(address) + WordHigh(byteCount));
}

// FA2 writes.
inline std::string WritePreset(char command, unsigned element, unsigned value) {
    return Framed(command, Byte(element) + WordHigh(value));
}
inline std::string WriteDataRegister(unsigned element, unsigned value) {
    const char bank = element < 256 ? '7' : '8';
    return Framed('\\', std::string("2") + bank + Byte(element & 0xFFu) + WordHigh(value));
}
inline std::string WriteBit(char subcode, unsigned address) {
    return Framed('[', std::string(1, subcode) + Byte(address));
}

// FA3 writes: the header ('4' words, '5' bits), then the data message.
inline std::string WriteHeader(char kind, std::string_view sub, unsigned address, unsigned byteCount) {
    return Framed('\\', std::string(1, kind) + std::string(sub) + WordHigh(address) + WordHigh(byteCount));
}
inline std::string WordData(unsigned value) {
    return WordLow(value) + Byte(((value & 0xFFu) + ((value >> 8) & 0xFFu)) & 0xFFu);
}
inline std::string BitData(bool set) { return set ? "0101" : "0000"; }

// Force mode.
inline std::string ForceBit(std::string_view sub, unsigned address, bool set) {
    return Framed('\\', "6" + std::string(sub) + WordHigh(address) + (set ? "1" : "0"));
}
inline std::string ClearForce() { return std::string("\\8008") + kCR; }

}  // namespace e2e::frame

namespace e2e {
// The short name the tests use for the expected frames.
namespace f = frame;
}  // namespace e2e
