// What the frames of both directions are made of: the fixed characters, the
// FA3 sub-command table, and a writer that lays a frame's fields into the
// caller's buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/digit_codec.h"
#include "vuzorur.h"

namespace qel {

constexpr std::uint8_t CR = 0x0D;
constexpr std::uint8_t BACKSLASH = 0x5C;

// The longest frame the driver sends (ReadBlockFa3, WriteBlockFa3).
constexpr std::size_t MAX_FRAME_LENGTH = 15;

// FA3 block sub-commands by area code, shared by ReadBlockFa3,
// WriteBlockFa3 and ForceBit. IO has two, one per IoGroup; WO has none.
struct Fa3SubCommand {
    std::uint8_t areaCode;
    std::array<std::uint8_t, 2> text;       // for IO: the group 1000 text
    std::array<std::uint8_t, 2> secondIo;   // for IO: the group 2000 text
    bool bitAddressed;                      // the address is ElementToAddress(element, 20)
};

inline constexpr std::array<Fa3SubCommand, 8> kFa3SubCommands = {{
    {AREA_TM, {'4', '1'}, {0, 0}, false},
    {AREA_CT, {'4', '2'}, {0, 0}, false},
    {AREA_DR, {'4', '4'}, {0, 0}, false},
    {AREA_CP, {'4', '3'}, {0, 0}, false},
    {AREA_TP, {'5', '4'}, {0, 0}, false},
    {AREA_IO, {'5', '8'}, {'5', '9'}, true},
    {AREA_IR, {'4', '='}, {0, 0}, true},
    {AREA_SR, {'5', '2'}, {0, 0}, false},
}};

// The sub-command entry of an area, or nullptr when the area has none.
constexpr const Fa3SubCommand* FindFa3SubCommand(std::uint16_t areaCode) {
    for (const Fa3SubCommand& entry : kFa3SubCommands) {
        if (entry.areaCode == areaCode) return &entry;
    }
    return nullptr;
}

// The two sub-command characters of an FA3 frame for this area and element.
constexpr std::array<std::uint8_t, 2> Fa3SubCommandText(const Fa3SubCommand& entry, std::uint16_t element) {
    if (entry.areaCode == AREA_IO && IoGroup(element) == IO_GROUP_SECOND) return entry.secondIo;
    return entry.text;
}

// The address an FA3 block frame carries for this area and element.
constexpr std::uint16_t Fa3Address(const Fa3SubCommand& entry, std::uint16_t element) {
    return entry.bitAddressed ? ElementToAddress(element, NUMBERING_FA3) : element;
}

// Lays the fields of one frame, left to right, into a buffer that the
// builder has checked is long enough for the whole frame.
class FrameWriter {
public:
    explicit FrameWriter(std::span<std::uint8_t> out) : out_(out) {}

    void Char(std::uint8_t c) { out_[length_++] = c; }
    void Chars(std::array<std::uint8_t, 2> text) {
        Char(text[0]);
        Char(text[1]);
    }
    // A byte field of the low 8 bits of value.
    void Byte(std::uint32_t value) {
        ValToAsciiHex(static_cast<std::uint16_t>(value & 0xFFU), BYTE_FIELD_WIDTH, out_.subspan(length_),
                      HIGH_BYTE_FIRST);
        length_ += BYTE_FIELD_WIDTH;
    }
    // A word field of the low 16 bits of value.
    void Word(std::uint32_t value, bool lowByteFirst) {
        ValToAsciiHex(static_cast<std::uint16_t>(value & 0xFFFFU), WORD_FIELD_WIDTH, out_.subspan(length_),
                      lowByteFirst);
        length_ += WORD_FIELD_WIDTH;
    }
    // The checksum over the characters from position `from` up to here.
    void Sum(std::size_t from) { Byte(CheckSum(out_.subspan(from, length_ - from))); }
    std::size_t Length() const { return length_; }

private:
    std::span<std::uint8_t> out_;
    std::size_t length_ = 0;
};

// The 15-character layout that ReadBlockFa3 and WriteBlockFa3 share: the
// command, the kind, the sub-command, the address and the byte count as
// high-byte-first word fields, the checksum over positions 1-11, CR. The
// caller has checked that `out` holds MAX_FRAME_LENGTH characters.
inline std::size_t BuildFa3BlockFrame(std::span<std::uint8_t> out, std::uint8_t command, std::uint8_t kind,
                                      const Fa3SubCommand& entry, std::uint16_t element, std::uint16_t byteCount) {
    FrameWriter frame(out);
    frame.Char(command);
    frame.Char(kind);
    frame.Chars(Fa3SubCommandText(entry, element));
    frame.Word(Fa3Address(entry, element), HIGH_BYTE_FIRST);
    frame.Word(byteCount, HIGH_BYTE_FIRST);
    frame.Sum(1);
    frame.Char(CR);
    return frame.Length();
}

}  // namespace qel
