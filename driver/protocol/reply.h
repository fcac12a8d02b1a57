// What comes back from a read: the ElementReply that answers an FA2
// ReadElement or ReadPreset, its check, and the decoding of replies and
// BlockData into the host's 16-bit value slots.
//
// ElementReply, 6 or 8 characters: the reply code, one byte field (6) or one
// high-byte-first word field (8) of data, the checksum over the data
// characters, CR.
//
// BlockData follows the Ack of a ReadDataBlock or ReadBlockFa3: exactly
// 2 x DataByteCount characters, no checksum, no CR. Words are low-byte-first
// word fields in element order; bits are packed eight to a byte, element i
// being bit (i mod 8) of data byte (i div 8).
//
// Decoders never read past the reply they are given and never write past
// the value slots they are given; a value whose field lies beyond the end of
// the reply is not stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/result.h"
#include "base/station_kind.h"
#include "vuzorur.h"

namespace qel {

// The ReadElement subcodes and the reply code that answers each, as pairs,
// searched in this order: '1' 'f', '>' 'f', '2' 'g', '?' 'g', '3' 'h',
// '4' 'i', '5' 'j', '7' 'p', '8' 'p'.
inline constexpr std::string_view kReplyCodeTable = "1f>f2g?g3h4i5j7p8p";

constexpr std::uint8_t PRESET_TP_REPLY_CODE = 'l';  // answers 'Y'
constexpr std::uint8_t PRESET_CP_REPLY_CODE = 'm';  // answers 'Z'

constexpr std::size_t BIT_REPLY_LENGTH = 6;
constexpr std::size_t WORD_REPLY_LENGTH = 8;

// Masked into every TM and CT value: the controller's top two bits of a
// timer or counter do not belong to the value.
constexpr std::uint16_t TIMER_COUNTER_MASK = 0x3FFF;

// Length of the ElementReply to a request, from its first two characters:
// 'R' with '1', '2', '3', '>' or '?' -> 6; 'R' with '4', '5', '7' or '8'
// -> 8; 'Y' or 'Z' -> 8; anything else -> 0 (no ElementReply known).
std::size_t ReplyLength(std::uint8_t command, std::uint8_t subcode);

// Judges an ElementReply (all of `reply`, as received) against the request
// it answers. RESULT_DONE accepted; RESULT_REFUSED rejected, without a log line, when the last
// character is not CR, when the checksum over positions 1 to size - 4 does
// not equal the two characters before the CR, or when the reply code does
// not match the request ('R': the code kReplyCodeTable pairs with the
// request's subcode; 'Y': 'l'; 'Z': 'm'; any other request: rejected).
// A reply shorter than 4 characters, or a request shorter than 2, is
// rejected.
Result CheckReply(std::span<const std::uint8_t> request, std::span<const std::uint8_t> reply);

// Word areas (TM, CT, DR, CP, TP, WO).
//   count 1: for WO, or when fa3Station (model text exactly "FA3"), the
//     low-byte-first word field at reply position 0 (BlockData); otherwise
//     the high-byte-first word field at position 1 (behind the reply code
//     of an ElementReply). Stored in slot 1.
//   any other count: slot i receives the low-byte-first word field at reply
//     position 4 x i, for i from 0 to count - 1.
// TM and CT values are masked with TIMER_COUNTER_MASK.
void DecodeWords(std::uint16_t areaCode, std::uint16_t count, bool fa3Station, std::span<const std::uint8_t> reply,
                 std::span<std::uint16_t> values);

// Bit areas (IO, IR/IM, SR); every stored value is 0 or 1.
//   count 0 or 1: bit 0 of the byte field at reply position 1 when
//     fa2Station (model text exactly "FA2"), at position 0 otherwise; stored
//     in slot 1.
//   count above 1, fa2Station: slot i receives bit i of the byte field at
//     position 1, for i from 0 to 7 but never past slot count - 1.
//   count above 1, other station: slot i receives bit (i mod 8) of the byte
//     field at position 2 x (i div 8), for i from 0 to count - 1.
void DecodeBits(std::uint16_t count, bool fa2Station, std::span<const std::uint8_t> reply,
                std::span<std::uint16_t> values);

// Decodes a reply into the value slots by area code and count: TM, CT, DR, CP, TP and WO by DecodeWords
// (fa3Station: an FA3 station); IO, IR/IM and SR by DecodeBits (fa2Station:
// an FA2 station); any other area stores nothing. A station of another kind
// is neither. `reply` is what was received; `values` are the host's slots
// (TransferSlots in transact/transfer_fields.h gives them from the transfer).
void DecodeReply(std::uint16_t area, std::uint16_t count, StationKind kind, std::span<const std::uint8_t> reply,
                 std::span<std::uint16_t> values);

}  // namespace qel
