// Character-level rules shared by every frame of the controller protocol:
// numbers travel four bits per character, each nibble n as the character
// 0x30 + n ("0123456789:;<=>?"), checksums are additive, and the element
// numbers the gate check stores for the bit areas are translated to the
// controller's own bit addresses.
//
// Byte field: two digits, high nibble first (0xF3 is "?3").
// Word field: four digits in one of two orders:
//   high-byte-first: bits 15-12, 11-8, 7-4, 3-0   (0x1234 is "1234");
//   low-byte-first:  bits 7-4, 3-0, 15-12, 11-8   (0x1234 is "3412").
// FA2 element frames and their replies use high-byte-first; all block data
// uses low-byte-first; addresses and counts in headers are high-byte-first.
//
// Everything here is a pure function of its arguments.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "vuzorur.h"

namespace qel {

// The digit of nibble 0; nibble n travels as HEX_DIGIT_ZERO + n.
constexpr std::uint8_t HEX_DIGIT_ZERO = 0x30;

// Word field orders, the lowByteFirst argument of the codec.
constexpr bool HIGH_BYTE_FIRST = false;
constexpr bool LOW_BYTE_FIRST = true;

// Field widths the codec knows: a byte field and a word field.
constexpr std::uint16_t BYTE_FIELD_WIDTH = 2;
constexpr std::uint16_t WORD_FIELD_WIDTH = 4;

// Numbering selectors of ElementToAddress: NUMBERING_FA3 selects the FA3
// addresses, every other value the FA2 ones.
constexpr std::uint8_t NUMBERING_FA2 = 10;
constexpr std::uint8_t NUMBERING_FA3 = 20;

// The two IO groups of an FA3 station (sub-commands "58" and "59").
constexpr std::uint16_t IO_GROUP_FIRST = 1000;
constexpr std::uint16_t IO_GROUP_SECOND = 2000;

// Writes value as a field of `width` characters into the start of `out`, no
// terminator. Width 2: a byte field of the low byte (the high byte and the
// order flag are ignored). Width 4: a word field in the order lowByteFirst
// selects. Any other width, or an `out` shorter than the width, writes
// nothing and logs "DAVEV: ValToAsciiHex failed" at LOG_PROTOCOL.
void ValToAsciiHex(std::uint16_t value, std::uint16_t width, std::span<std::uint8_t> out, bool lowByteFirst);

// Reads a field of `width` characters (2: byte field; 4: word field in the
// order lowByteFirst selects) from the start of `in`. Characters are not
// validated: each contributes (code - 0x30) times the weight of its
// position, and the sum is truncated to 16 bits, so decoding never fails.
// Returns 0 for any other width or when `in` holds fewer than `width`
// characters.
std::uint16_t AsciiHexToVal(std::span<const std::uint8_t> in, std::uint16_t width, bool lowByteFirst);

// The additive checksum: the sum of (code - 0x30) over the characters,
// modulo 256. It goes on the line as a byte field.
std::uint8_t CheckSum(std::span<const std::uint8_t> characters);

// The checksum of a written value: (low byte + high byte) mod 256, written as
// a byte field into the first two characters of `out` (0x1234 gives "46").
void ValueCheckSum(std::uint16_t value, std::span<std::uint8_t> out);

// Number of data bytes a transfer of `count` elements of an area moves:
// two per word for TM, CT, DR, CP and TP; for the bit areas (IO, IR/IM, SR)
// 1 for a single bit, otherwise count / 8 (remainder dropped); 0 for WO and
// any other code.
constexpr std::uint16_t DataByteCount(std::uint16_t areaCode, std::uint16_t count) {
    switch (areaCode) {
        case AREA_TM:
        case AREA_CT:
        case AREA_DR:
        case AREA_CP:
        case AREA_TP:
            return static_cast<std::uint16_t>(count * 2);
        case AREA_IO:
        case AREA_IR:
        case AREA_SR:
            return count == 1 ? std::uint16_t{1} : static_cast<std::uint16_t>(count / 8);
        default:
            return 0;
    }
}

// One row of the bit address translation: elements up to `lastElement` (and
// above the row before) are shifted down by the offset of the model.
struct AddressRow {
    std::uint16_t lastElement;
    std::uint16_t offsetFa3;
    std::uint16_t offsetFa2;
};

// The stored IO, IR and IM elements fold onto the controller's addresses:
// on FA2 the IO and the IR ranges each fold onto 256 bits (the frame's
// subcode tells the ranges apart); on FA3 the two IO groups share 0-255
// (told apart by IoGroup) and IR/IM form one space of 1056 bits.
inline constexpr std::array<AddressRow, 7> kAddressRows = {{
    {127, 0, 0},
    {287, 160, 32},
    {559, 320, 320},
    {1727, 1472, 1600},
    {1887, 1632, 1632},
    {2159, 1664, 1920},
    {0xFFFF, 3000, 3000},  // 2160-4055: FA3 IM; nothing larger is stored
}};

// The controller's bit address of a stored IO, IR or IM element: the
// element less the offset of the first row that covers it, truncated to
// 16 bits.
constexpr std::uint16_t ElementToAddress(std::uint16_t element, std::uint8_t numbering) {
    for (const AddressRow& row : kAddressRows) {
        if (element <= row.lastElement) {
            const std::uint16_t offset = numbering == NUMBERING_FA3 ? row.offsetFa3 : row.offsetFa2;
            return static_cast<std::uint16_t>(element - offset);
        }
    }
    return element;  // not reached: the last row covers every element
}

// The IO group of an FA3 IO element: IO_GROUP_FIRST for elements up to 128
// and 1600 to 1728, IO_GROUP_SECOND for all others.
constexpr std::uint16_t IoGroup(std::uint16_t element) {
    return (element <= 128 || (element >= 1600 && element <= 1728)) ? IO_GROUP_FIRST : IO_GROUP_SECOND;
}

// Bit i of the input becomes bit 7 - i of the result (0x01 gives 0x80).
constexpr std::uint8_t ReverseBits(std::uint8_t byte) {
    std::uint8_t reversed = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if ((byte >> bit) & 1U) reversed = static_cast<std::uint8_t>(reversed | (0x80U >> bit));
    }
    return reversed;
}

}  // namespace qel
