// The read requests: the station select that precedes every exchange with a
// newly addressed station, the FA2 requests (single element, preset value,
// data-register block) and the one block read that serves every FA3 read.
//
// Every builder writes one frame into the start of `out`, writes no
// terminator and returns the frame's length; 0 means there is no such frame
// (also when `out` is too short for it, in which case nothing is written).
// Builders keep no state and never fail otherwise.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/frame_parts.h"
#include "vuzorur.h"

namespace qel {

constexpr std::uint8_t SELECT_COMMAND = 0x60;   // grave accent
constexpr std::uint8_t READ_ELEMENT_COMMAND = 'R';
constexpr std::uint8_t READ_PRESET_CP_COMMAND = 'Z';
constexpr std::uint8_t READ_PRESET_TP_COMMAND = 'Y';
constexpr std::uint8_t BLOCK_READ_COMMAND = ']';
constexpr std::uint8_t READ_DATA_BLOCK_KIND = '1';   // FA2 data registers
constexpr std::uint8_t READ_BLOCK_FA3_KIND = '4';

constexpr std::size_t SELECT_STATION_LENGTH = 6;
constexpr std::size_t READ_ELEMENT_LENGTH = 7;
constexpr std::size_t READ_PRESET_LENGTH = 6;
constexpr std::size_t READ_DATA_BLOCK_LENGTH = 11;
constexpr std::size_t READ_BLOCK_FA3_LENGTH = 15;

// Byte address of data register 0 in a ReadDataBlock request.
constexpr std::uint16_t DATA_REGISTER_BASE = 0x8200;

// How an FA2 element frame addresses its element.
enum class Fa2Addressing : std::uint8_t {
    Element,         // the element itself (low 8 bits)
    ElementLess256,  // the element less 256 (DR 256 and above)
    BitAddress,      // ElementToAddress(element, NUMBERING_FA2)
};

// One row of an FA2 subcode table: elements of the area up to lastElement
// (and above the row before for the same area) use this subcode.
struct Fa2SubcodeRow {
    std::uint8_t areaCode;
    std::uint16_t lastElement;
    std::uint8_t subcode;
    Fa2Addressing addressing;
};

// ReadElement subcodes. Their reply codes are in kReplyCodeTable (reply.h).
inline constexpr std::array<Fa2SubcodeRow, 9> kReadElementSubcodes = {{
    {AREA_TM, 0xFFFF, '4', Fa2Addressing::Element},
    {AREA_CT, 0xFFFF, '5', Fa2Addressing::Element},
    {AREA_DR, 255, '7', Fa2Addressing::Element},
    {AREA_DR, 0xFFFF, '8', Fa2Addressing::ElementLess256},
    {AREA_IO, 0xFFFF, '1', Fa2Addressing::BitAddress},
    {AREA_IR, 559, '2', Fa2Addressing::BitAddress},
    {AREA_IR, 1887, '>', Fa2Addressing::BitAddress},
    {AREA_IR, 0xFFFF, '?', Fa2Addressing::BitAddress},
    {AREA_SR, 0xFFFF, '3', Fa2Addressing::Element},
}};

// The first row of `table` that covers the area and element, or nullptr.
const Fa2SubcodeRow* FindFa2Subcode(std::span<const Fa2SubcodeRow> table, std::uint16_t areaCode,
                                    std::uint16_t element);

// The address byte an FA2 element frame sends for this row and element.
std::uint16_t Fa2Address(const Fa2SubcodeRow& row, std::uint16_t element);

// SelectStation, 6 characters: 0x60, the station (low 8 bits) as a byte
// field, the checksum over positions 1-2, CR. Answered by an Ack or a Nak.
std::size_t BuildSelectStation(std::span<std::uint8_t> out, std::uint32_t station);

// ReadElement (FA2), 7 characters: 'R', subcode, address byte field,
// checksum over positions 1-3, CR. Subcode and address by area and element
// from kReadElementSubcodes. Returns 0 for an area that has no subcode
// (CP, TP, WO, FORCE and unknown codes).
std::size_t BuildReadElement(std::span<std::uint8_t> out, std::uint16_t areaCode, std::uint16_t element);

// ReadPreset (FA2), 6 characters: 'Z' for CP or 'Y' for TP, the element
// (low 8 bits) as a byte field, checksum over positions 1-2, CR. The reply
// code is 'm' to 'Z' and 'l' to 'Y'. Returns 0 for any other area.
std::size_t BuildReadPreset(std::span<std::uint8_t> out, std::uint16_t areaCode, std::uint16_t element);

// ReadDataBlock (FA2 data registers), 11 characters: ']', '1', the byte
// address 0x8200 + 2 x element as a high-byte-first word field, the byte
// count 2 x count (low 8 bits) as a byte field, checksum over positions
// 1-7, CR. Answered by an Ack and 4 x count characters of BlockData.
std::size_t BuildReadDataBlock(std::span<std::uint8_t> out, std::uint16_t count, std::uint16_t element);

// ReadBlockFa3 (every read from a station that is not FA2), 15 characters:
// ']', '4', the sub-command of kFa3SubCommands, the address (the element, or
// ElementToAddress(element, NUMBERING_FA3) for IO and IR/IM) and byteCount
// (DataByteCount of area and count) as high-byte-first word fields,
// checksum over positions 1-11, CR. Answered by an Ack and 2 x byteCount
// characters of BlockData. Returns 0 for WO and any other area without a
// sub-command: such a read is refused rather than sent.
std::size_t BuildReadBlockFa3(std::span<std::uint8_t> out, std::uint16_t byteCount, std::uint16_t element,
                              std::uint16_t areaCode);

// The request for an FA2 station, by area code, element and count:
//   count 1: TM, CT, DR, IO, IR, SR -> ReadElement; CP, TP -> ReadPreset;
//            any other area -> 0 (no frame);
//   any other count: DR -> ReadDataBlock; any other area -> ReadElement.
// Returns the frame length: 7, 6 or 11, or 0 for no frame.
std::size_t BuildFa2Read(std::span<std::uint8_t> out, std::uint16_t area, std::uint16_t element, std::uint16_t count);

}  // namespace qel
