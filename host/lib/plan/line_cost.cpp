#include "plan/line_cost.h"

namespace qel::plan {

namespace {

// Frame sizes of the protocol, in characters.
constexpr int SELECT_FRAME = 6;       // grave accent, station, checksum, CR
constexpr int ACK = 4;                // "c00" CR
constexpr int FA2_ELEMENT_READ = 7;   // 'R', subcode, address, checksum, CR
constexpr int FA2_PRESET_READ = 6;    // 'Z' or 'Y', element, checksum, CR
constexpr int FA2_BYTE_REPLY = 6;     // code, one byte, checksum, CR
constexpr int FA2_WORD_REPLY = 8;     // code, one word, checksum, CR
constexpr int FA2_DATA_BLOCK_READ = 11;
constexpr int BLOCK_READ = 15;        // the block read of every station that is not FA-2
constexpr int BLOCK_TRAILER = 3;      // checksum and CR after the block data

bool IsWordArea(std::uint32_t areaCode) { return areaCode <= AREA_TP; }

// Data bytes of a block answer: two per word; one per eight bits, or one for a single bit.
int DataBytes(std::uint32_t areaCode, std::int32_t count) {
    if (IsWordArea(areaCode)) return 2 * count;
    if (IsBitArea(areaCode)) return count == 1 ? 1 : count / 8;
    return 0;
}

}  // namespace

bool IsBitArea(std::uint32_t areaCode) {
    return areaCode == AREA_IO || areaCode == AREA_IR || areaCode == AREA_SR;
}

double CharacterMs(const LineSettings& line) {
    const double bits = 1.0 + line.dataBits + (line.parity ? 1.0 : 0.0) + line.stopBits;
    return line.baud == 0 ? 0.0 : 1000.0 * bits / line.baud;
}

ExchangeShape SelectShape() { return {SELECT_FRAME, ACK, 0}; }

ExchangeShape ReadShape(bool fa2, std::uint32_t areaCode, std::int32_t count) {
    if (!fa2) return {BLOCK_READ, ACK + 2 * DataBytes(areaCode, count), BLOCK_TRAILER};
    if (IsBitArea(areaCode)) return {FA2_ELEMENT_READ, FA2_BYTE_REPLY, 0};  // one byte, single or eight bits
    if (areaCode == AREA_DR && count > 1) {
        return {FA2_DATA_BLOCK_READ, ACK + 2 * DataBytes(areaCode, count), BLOCK_TRAILER};
    }
    if (areaCode == AREA_CP || areaCode == AREA_TP) return {FA2_PRESET_READ, FA2_WORD_REPLY, 0};
    if (IsWordArea(areaCode)) return {FA2_ELEMENT_READ, FA2_WORD_REPLY, 0};
    return {};  // no FA-2 read frame: nothing goes on the line
}

double ExchangeMs(const ExchangeShape& shape, const LineSettings& line) {
    return PURGE_MS + (shape.sent + shape.received + shape.trailing) * CharacterMs(line);
}

}  // namespace qel::plan
