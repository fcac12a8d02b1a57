// The write requests: the FA2 write frames (preset value, data register, bit
// set and reset), the FA3 write header and the data message that follows
// it, and the force-mode frames (a forced bit write, the clearing of force
// mode). Each is answered by an Ack or a Nak (ack.h), except ClearForce,
// whose answer is judged by ClearForceAnswerAccepted.
//
// Every builder writes one frame into the start of `out`, writes no
// terminator and returns the frame's length; 0 means the area has no such
// frame (also when `out` is too short for it, in which case nothing is
// written). The value a write sends is always slot 1 of the host's array;
// the transaction takes it from there (TransferValue, transact/transfer_fields.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/frame_parts.h"
#include "protocol/read_frames.h"
#include "vuzorur.h"

namespace qel {

constexpr std::uint8_t WRITE_PRESET_CP_COMMAND = 'T';
constexpr std::uint8_t WRITE_PRESET_TP_COMMAND = 'S';
constexpr std::uint8_t WRITE_BIT_COMMAND = '[';
constexpr std::uint8_t WRITE_DATA_REGISTER_KIND = '2';
constexpr std::uint8_t WRITE_WORD_BLOCK_KIND = '4';   // FA3 DR, CP, TP
constexpr std::uint8_t WRITE_BIT_BLOCK_KIND = '5';    // FA3 IO, IR/IM, SR
constexpr std::uint8_t FORCE_BIT_KIND = '6';
// The set subcode of a WriteBit is its reset subcode plus this.
constexpr std::uint8_t WRITE_BIT_SET_OFFSET = 8;

constexpr std::size_t WRITE_PRESET_LENGTH = 10;
constexpr std::size_t WRITE_DATA_REGISTER_LENGTH = 12;
constexpr std::size_t WRITE_BIT_LENGTH = 7;
constexpr std::size_t WRITE_BLOCK_FA3_LENGTH = 15;
constexpr std::size_t WRITE_DATA_WORD_LENGTH = 6;
constexpr std::size_t WRITE_DATA_BIT_LENGTH = 4;
constexpr std::size_t FORCE_BIT_LENGTH = 12;
constexpr std::size_t CLEAR_FORCE_LENGTH = 6;
// The answer to ClearForce: its 6-character line echo, then an Ack.
constexpr std::size_t CLEAR_FORCE_ANSWER_LENGTH = 10;

// WriteBit reset subcodes (FA2); the set subcode is 8 above.
inline constexpr std::array<Fa2SubcodeRow, 5> kWriteBitSubcodes = {{
    {AREA_IO, 0xFFFF, '1', Fa2Addressing::BitAddress},
    {AREA_IR, 559, '2', Fa2Addressing::BitAddress},
    {AREA_IR, 1887, '4', Fa2Addressing::BitAddress},
    {AREA_IR, 0xFFFF, '5', Fa2Addressing::BitAddress},
    {AREA_SR, 0xFFFF, '3', Fa2Addressing::Element},
}};

// WritePreset (FA2), 10 characters: 'T' for CP or 'S' for TP, the element
// (low 8 bits) as a byte field, the value as a high-byte-first word field,
// checksum over positions 1-6, CR. Returns 0 for any other area.
std::size_t BuildWritePreset(std::span<std::uint8_t> out, std::uint16_t areaCode, std::uint16_t element,
                             std::uint16_t value);

// WriteDataRegister (FA2, DR and WO), 12 characters: backslash, '2', then
// '7' and the element below 256, or '8' and the element less 256, as a byte
// field, the value as a high-byte-first word field, checksum over positions
// 1-8, CR.
std::size_t BuildWriteDataRegister(std::span<std::uint8_t> out, std::uint16_t element, std::uint16_t value);

// WriteBit (FA2, IO, IR and SR), 7 characters: '[', subcode, address byte
// field, checksum over positions 1-3, CR. Subcode and address from
// kWriteBitSubcodes; only the value 1 sets the bit (set subcode), every
// other value resets it. Returns 0 for any other area.
std::size_t BuildWriteBit(std::span<std::uint8_t> out, std::uint16_t areaCode, std::uint16_t element,
                          std::uint16_t value);

// WriteBlockFa3 header, 15 characters: backslash, '4' for DR, CP, TP or '5'
// for IO, IR/IM, SR, the sub-command of kFa3SubCommands, the address (the
// element, or ElementToAddress(element, NUMBERING_FA3) for IO and IR/IM) and
// byteCount (DataByteCount of area and count) as high-byte-first word
// fields, checksum over positions 1-11, CR. Returns 0 for TM, CT, WO and
// any other code.
std::size_t BuildWriteBlockFa3(std::span<std::uint8_t> out, std::uint16_t byteCount, std::uint16_t element,
                               std::uint16_t areaCode);

// The FA3 data message that follows an acknowledged WriteBlockFa3 header,
// no CR. For a bit gate (dataType DATA_TYPE_BIT): "0101" when the value is
// not 0, "0000" when it is (one data byte and its checksum), length 4. For
// any other data type: the value as a low-byte-first word field and its
// ValueCheckSum, length 6.
std::size_t BuildWriteData(std::span<std::uint8_t> out, std::int32_t dataType, std::uint16_t value);

// ForceBit (FA3, IO and IR/IM while the station is in force mode), 12
// characters: backslash, '6', the sub-command ("58" or "59" by IoGroup for
// IO; "4=" for every other area), ElementToAddress(element, NUMBERING_FA3)
// as a high-byte-first word field, '1' when the value is not 0 or '0',
// checksum over positions 1-8, CR.
std::size_t BuildForceBit(std::span<std::uint8_t> out, std::uint16_t areaCode, std::uint16_t element,
                          std::uint16_t value);

// ClearForce, 6 characters, no checksum: backslash, "8008", CR.
std::size_t BuildClearForce(std::span<std::uint8_t> out);

// True when the 10-character answer to ClearForce (its echo, not compared,
// then an Ack) has 'c' at position 6 and CR at position 9.
bool ClearForceAnswerAccepted(std::span<const std::uint8_t> answer);

// The FA2 write of the value to the area's element: DR and WO ->
// WriteDataRegister; CP and TP -> WritePreset; IO, IR and SR -> WriteBit;
// TM, CT and any other code -> 0 (the gate cannot be written).
std::size_t BuildFa2Write(std::span<std::uint8_t> out, std::uint16_t area, std::uint16_t element, std::uint16_t value);

}  // namespace qel
