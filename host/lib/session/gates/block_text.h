// The BlockData characters behind the values of a block read, re-formed from
// the values as the driver decoded them, for judging the checksum that a
// controller sends after BlockData.
//
// BlockData carries each data byte as two digits ('0'..'?', nibble n as the
// character 0x30 + n, high nibble first). Words travel low byte first, one
// word per four characters in element order; bits travel eight to a byte,
// element i being bit (i mod 8) of byte (i div 8). A word area moves two
// bytes per element; a bit area (IO, IR/IM, SR) one byte for a single bit,
// else count / 8 bytes. A single value sits in slot 1 of the transfer's
// array, a block in slots 0 to count - 1.
//
// Not every character comes back from the values: the driver keeps 14 bits
// of a timer or counter (TM, CT), and of a single bit the other seven bits
// of its byte. The re-formed text has those bits 0 and says how many there
// are, so a checksum is judged only as far as the values allow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "vuzorur.h"

namespace qel::session {

struct BlockText {
    std::string characters;       // the data characters, unknown bits as 0
    std::size_t maskedWords = 0;  // TM/CT words whose top two bits are unknown
    bool wholeBytes = true;       // false: bits of a byte are unknown (a single bit)
};

// The BlockData a read of `transfer` (area, count, values) came from.
BlockText ReformBlockData(const GateTransfer& transfer);

// The additive digit sum: (code - 0x30) over the characters, modulo 256.
std::uint8_t DigitSum(std::string_view characters);

// Whether `checksum` can be the digit sum of the data the text was re-formed
// from. Exact for whole data; for masked TM/CT words every choice of their
// top two bits counts; never false for a text without whole bytes.
bool ChecksumFits(const BlockText& text, std::uint8_t checksum);

// The byte field of a checksum as its two characters ("3<" for 0x3C), and
// back: false when `field` is not two digits.
std::string ByteField(std::uint8_t value);
bool ParseByteField(std::string_view field, std::uint8_t& value);

}  // namespace qel::session
