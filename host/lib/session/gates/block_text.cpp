#include "session/gates/block_text.h"

namespace qel::session {

namespace {

constexpr char kDigitZero = 0x30;
constexpr std::uint16_t kMaskedTopBits = 0xC000;

void AppendByte(std::string& out, unsigned byte) {
    out.push_back(static_cast<char>(kDigitZero + ((byte >> 4) & 0xF)));
    out.push_back(static_cast<char>(kDigitZero + (byte & 0xF)));
}

bool WordArea(std::uint32_t area) { return area <= AREA_TP; }
bool BitArea(std::uint32_t area) { return area == AREA_IO || area == AREA_IR || area == AREA_SR; }

}  // namespace

BlockText ReformBlockData(const GateTransfer& transfer) {
    BlockText text;
    if (transfer.values == nullptr || transfer.count < 1) return text;
    const auto count = static_cast<std::size_t>(transfer.count);
    const std::uint16_t* values = transfer.values;
    if (WordArea(transfer.areaCode)) {
        const bool masked = transfer.areaCode == AREA_TM || transfer.areaCode == AREA_CT;
        const std::size_t first = count == 1 ? 1 : 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint16_t word = values[first + i];
            AppendByte(text.characters, word & 0xFFu);
            AppendByte(text.characters, word >> 8);
            if (masked && (word & kMaskedTopBits) == 0) ++text.maskedWords;
        }
    } else if (BitArea(transfer.areaCode)) {
        if (count == 1) {
            AppendByte(text.characters, values[1] & 1u);
            text.wholeBytes = false;
        } else {
            for (std::size_t byte = 0; byte < count / 8; ++byte) {
                unsigned bits = 0;
                for (std::size_t bit = 0; bit < 8; ++bit) bits |= (values[byte * 8 + bit] & 1u) << bit;
                AppendByte(text.characters, bits);
            }
        }
    }
    return text;
}

std::uint8_t DigitSum(std::string_view characters) {
    unsigned sum = 0;
    for (const char c : characters) sum += static_cast<unsigned char>(c) - static_cast<unsigned char>(kDigitZero);
    return static_cast<std::uint8_t>(sum);
}

bool ChecksumFits(const BlockText& text, std::uint8_t checksum) {
    if (!text.wholeBytes) return true;
    // Each masked word may add 4, 8 or 12 to its high nibble's digit.
    const unsigned gap = static_cast<std::uint8_t>(checksum - DigitSum(text.characters));
    if (text.maskedWords == 0) return gap == 0;
    if (gap % 4 != 0) return false;
    // 4K = gap (mod 256) has a K from 0 to 3 per masked word.
    return gap / 4 <= 3 * text.maskedWords;
}

std::string ByteField(std::uint8_t value) {
    std::string out;
    AppendByte(out, value);
    return out;
}

bool ParseByteField(std::string_view field, std::uint8_t& value) {
    if (field.size() != 2) return false;
    unsigned result = 0;
    for (const char c : field) {
        const int nibble = static_cast<unsigned char>(c) - static_cast<unsigned char>(kDigitZero);
        if (nibble < 0 || nibble > 15) return false;
        result = result * 16 + static_cast<unsigned>(nibble);
    }
    value = static_cast<std::uint8_t>(result);
    return true;
}

}  // namespace qel::session
