#include "protocol/read_frames.h"

namespace qel {

const Fa2SubcodeRow* FindFa2Subcode(std::span<const Fa2SubcodeRow> table, std::uint16_t areaCode,
                                    std::uint16_t element) {
    for (const Fa2SubcodeRow& row : table) {
        if (row.areaCode == areaCode && element <= row.lastElement) return &row;
    }
    return nullptr;
}

std::uint16_t Fa2Address(const Fa2SubcodeRow& row, std::uint16_t element) {
    switch (row.addressing) {
        case Fa2Addressing::ElementLess256:
            return static_cast<std::uint16_t>(element - 256);
        case Fa2Addressing::BitAddress:
            return ElementToAddress(element, NUMBERING_FA2);
        case Fa2Addressing::Element:
            break;
    }
    return element;
}

std::size_t BuildSelectStation(std::span<std::uint8_t> out, std::uint32_t station) {
    if (out.size() < SELECT_STATION_LENGTH) return 0;
    FrameWriter frame(out);
    frame.Char(SELECT_COMMAND);
    frame.Byte(station);
    frame.Sum(1);
    frame.Char(CR);
    return frame.Length();
}

std::size_t BuildReadElement(std::span<std::uint8_t> out, std::uint16_t areaCode, std::uint16_t element) {
    const Fa2SubcodeRow* row = FindFa2Subcode(kReadElementSubcodes, areaCode, element);
    if (row == nullptr || out.size() < READ_ELEMENT_LENGTH) return 0;
    FrameWriter frame(out);
    frame.Char(READ_ELEMENT_COMMAND);
    frame.Char(row->subcode);
    frame.Byte(Fa2Address(*row, element));
    frame.Sum(1);
    frame.Char(CR);
    return frame.Length();
}

std::size_t BuildReadPreset(std::span<std::uint8_t> out, std::uint16_t areaCode, std::uint16_t element) {
    if ((areaCode != AREA_CP && areaCode != AREA_TP) || out.size() < READ_PRESET_LENGTH) return 0;
    FrameWriter frame(out);
    frame.Char(areaCode == AREA_CP ? READ_PRESET_CP_COMMAND : READ_PRESET_TP_COMMAND);
    frame.Byte(element);
    frame.Sum(1);
    frame.Char(CR);
    return frame.Length();
}

std::size_t BuildReadDataBlock(std::span<std::uint8_t> out, std::uint16_t count, std::uint16_t element) {
    if (out.size() < READ_DATA_BLOCK_LENGTH) return 0;
    FrameWriter frame(out);
    frame.Char(BLOCK_READ_COMMAND);
    frame.Char(READ_DATA_BLOCK_KIND);
    frame.Word(DATA_REGISTER_BASE + 2U * element, HIGH_BYTE_FIRST);
    frame.Byte(2U * count);
    frame.Sum(1);
    frame.Char(CR);
    return frame.Length();
}

std::size_t BuildReadBlockFa3(std::span<std::uint8_t> out, std::uint16_t byteCount, std::uint16_t element,
                              std::uint16_t areaCode) {
    const Fa3SubCommand* entry = FindFa3SubCommand(areaCode);
    if (entry == nullptr || out.size() < READ_BLOCK_FA3_LENGTH) return 0;
    return BuildFa3BlockFrame(out, BLOCK_READ_COMMAND, READ_BLOCK_FA3_KIND, *entry, element, byteCount);
}

std::size_t BuildFa2Read(std::span<std::uint8_t> out, std::uint16_t area, std::uint16_t element, std::uint16_t count) {
    if (count != 1) {
        return area == AREA_DR ? BuildReadDataBlock(out, count, element) : BuildReadElement(out, area, element);
    }
    switch (area) {
        case AREA_TM:
        case AREA_CT:
        case AREA_DR:
        case AREA_IO:
        case AREA_IR:
        case AREA_SR:
            return BuildReadElement(out, area, element);
        case AREA_CP:
        case AREA_TP:
            return BuildReadPreset(out, area, element);
        default:
            return 0;
    }
}

}  // namespace qel
