#include "protocol/write_frames.h"

#include "protocol/ack.h"

namespace qel {
namespace {

constexpr std::array<std::uint8_t, 4> kClearForceText = {'8', '0', '0', '8'};

// The header kind character of an FA3 write, 0 when the area has no header.
constexpr std::uint8_t WriteBlockKind(std::uint16_t areaCode) {
    switch (areaCode) {
        case AREA_DR:
        case AREA_CP:
        case AREA_TP:
            return WRITE_WORD_BLOCK_KIND;
        case AREA_IO:
        case AREA_IR:
        case AREA_SR:
            return WRITE_BIT_BLOCK_KIND;
        default:
            return 0;
    }
}

}  // namespace

std::size_t BuildWritePreset(std::span<std::uint8_t> out, std::uint16_t areaCode, std::uint16_t element,
                             std::uint16_t value) {
    if ((areaCode != AREA_CP && areaCode != AREA_TP) || out.size() < WRITE_PRESET_LENGTH) return 0;
    FrameWriter frame(out);
    frame.Char(areaCode == AREA_CP ? WRITE_PRESET_CP_COMMAND : WRITE_PRESET_TP_COMMAND);
    frame.Byte(element);
    frame.Word(value, HIGH_BYTE_FIRST);
    frame.Sum(1);
    frame.Char(CR);
    return frame.Length();
}

std::size_t BuildWriteDataRegister(std::span<std::uint8_t> out, std::uint16_t element, std::uint16_t value) {
    if (out.size() < WRITE_DATA_REGISTER_LENGTH) return 0;
    const bool upper = element >= 256;
    FrameWriter frame(out);
    frame.Char(BACKSLASH);
    frame.Char(WRITE_DATA_REGISTER_KIND);
    frame.Char(upper ? '8' : '7');
    frame.Byte(upper ? element - 256U : element);
    frame.Word(value, HIGH_BYTE_FIRST);
    frame.Sum(1);
    frame.Char(CR);
    return frame.Length();
}

std::size_t BuildWriteBit(std::span<std::uint8_t> out, std::uint16_t areaCode, std::uint16_t element,
                          std::uint16_t value) {
    const Fa2SubcodeRow* row = FindFa2Subcode(kWriteBitSubcodes, areaCode, element);
    if (row == nullptr || out.size() < WRITE_BIT_LENGTH) return 0;
    FrameWriter frame(out);
    frame.Char(WRITE_BIT_COMMAND);
    frame.Char(value == 1 ? static_cast<std::uint8_t>(row->subcode + WRITE_BIT_SET_OFFSET) : row->subcode);
    frame.Byte(Fa2Address(*row, element));
    frame.Sum(1);
    frame.Char(CR);
    return frame.Length();
}

std::size_t BuildWriteBlockFa3(std::span<std::uint8_t> out, std::uint16_t byteCount, std::uint16_t element,
                               std::uint16_t areaCode) {
    const std::uint8_t kind = WriteBlockKind(areaCode);
    const Fa3SubCommand* entry = FindFa3SubCommand(areaCode);
    if (kind == 0 || entry == nullptr || out.size() < WRITE_BLOCK_FA3_LENGTH) return 0;
    return BuildFa3BlockFrame(out, BACKSLASH, kind, *entry, element, byteCount);
}

std::size_t BuildWriteData(std::span<std::uint8_t> out, std::int32_t dataType, std::uint16_t value) {
    FrameWriter frame(out);
    if (dataType == DATA_TYPE_BIT) {
        if (out.size() < WRITE_DATA_BIT_LENGTH) return 0;
        const std::uint8_t bit = value != 0 ? 1 : 0;
        frame.Byte(bit);
        frame.Byte(bit);  // the checksum of the one data byte
        return frame.Length();
    }
    if (out.size() < WRITE_DATA_WORD_LENGTH) return 0;
    frame.Word(value, LOW_BYTE_FIRST);
    ValueCheckSum(value, out.subspan(frame.Length()));
    return WRITE_DATA_WORD_LENGTH;
}


std::size_t BuildForceBit(std::span<std::uint8_t> out, std::uint16_t areaCode, std::uint16_t element,
                          std::uint16_t value) {
    if (out.size() < FORCE_BIT_LENGTH) return 0;
    // IO keeps its own sub-command; every other area is forced as IR/IM.
    const Fa3SubCommand* entry = FindFa3SubCommand(areaCode == AREA_IO ? AREA_IO : AREA_IR);
    FrameWriter frame(out);
    frame.Char(BACKSLASH);
    frame.Char(FORCE_BIT_KIND);
    frame.Chars(Fa3SubCommandText(*entry, element));
    frame.Word(ElementToAddress(element, NUMBERING_FA3), HIGH_BYTE_FIRST);
    frame.Char(value != 0 ? '1' : '0');
    frame.Sum(1);
    frame.Char(CR);
    return frame.Length();
}


std::size_t BuildClearForce(std::span<std::uint8_t> out) {
    if (out.size() < CLEAR_FORCE_LENGTH) return 0;
    FrameWriter frame(out);
    frame.Char(BACKSLASH);
    for (const std::uint8_t c : kClearForceText) frame.Char(c);
    frame.Char(CR);
    return frame.Length();
}

bool ClearForceAnswerAccepted(std::span<const std::uint8_t> answer) {
    return answer.size() >= CLEAR_FORCE_ANSWER_LENGTH && answer[6] == ACK_CODE && answer[9] == CR;
}

std::size_t BuildFa2Write(std::span<std::uint8_t> out, std::uint16_t area, std::uint16_t element, std::uint16_t value) {
    switch (area) {
        case AREA_DR:
        case AREA_WO:
            return BuildWriteDataRegister(out, element, value);
        case AREA_CP:
        case AREA_TP:
            return BuildWritePreset(out, area, element, value);
        case AREA_IO:
        case AREA_IR:
        case AREA_SR:
            return BuildWriteBit(out, area, element, value);
        default:
            return 0;
    }
}

}  // namespace qel
