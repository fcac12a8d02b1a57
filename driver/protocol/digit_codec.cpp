#include "protocol/digit_codec.h"

#include "base/host_log.h"

namespace qel {
namespace {

constexpr std::uint8_t Digit(std::uint32_t nibble) {
    return static_cast<std::uint8_t>(HEX_DIGIT_ZERO + (nibble & 0x0FU));
}

// Weights of the characters of each field, by position.
constexpr std::array<std::uint32_t, 2> kByteWeights = {16, 1};
constexpr std::array<std::uint32_t, 4> kHighFirstWeights = {4096, 256, 16, 1};
constexpr std::array<std::uint32_t, 4> kLowFirstWeights = {16, 1, 4096, 256};

// Sum of (code - 0x30) x weight in unsigned arithmetic; the wrap of a
// character below '0' is harmless once the sum is cut to 16 bits.
template <std::size_t N>
std::uint16_t Weighted(std::span<const std::uint8_t> in, const std::array<std::uint32_t, N>& weights) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < N; ++i) {
        sum += (static_cast<std::uint32_t>(in[i]) - HEX_DIGIT_ZERO) * weights[i];
    }
    return static_cast<std::uint16_t>(sum);
}

}  // namespace

void ValToAsciiHex(std::uint16_t value, std::uint16_t width, std::span<std::uint8_t> out, bool lowByteFirst) {
    if ((width != BYTE_FIELD_WIDTH && width != WORD_FIELD_WIDTH) || out.size() < width) {
        HostLog(LOG_PROTOCOL, "DAVEV: ValToAsciiHex failed");
        return;
    }
    const std::uint32_t low = value & 0xFFU;
    const std::uint32_t high = (value >> 8) & 0xFFU;
    if (width == BYTE_FIELD_WIDTH) {
        out[0] = Digit(low >> 4);
        out[1] = Digit(low);
        return;
    }
    const std::uint32_t first = lowByteFirst ? low : high;
    const std::uint32_t second = lowByteFirst ? high : low;
    out[0] = Digit(first >> 4);
    out[1] = Digit(first);
    out[2] = Digit(second >> 4);
    out[3] = Digit(second);
}

std::uint16_t AsciiHexToVal(std::span<const std::uint8_t> in, std::uint16_t width, bool lowByteFirst) {
    if (in.size() < width) return 0;
    if (width == BYTE_FIELD_WIDTH) return Weighted(in, kByteWeights);
    if (width == WORD_FIELD_WIDTH) return Weighted(in, lowByteFirst ? kLowFirstWeights : kHighFirstWeights);
    return 0;
}

std::uint8_t CheckSum(std::span<const std::uint8_t> characters) {
    std::uint32_t sum = 0;
    for (const std::uint8_t c : characters) sum += static_cast<std::uint32_t>(c) - HEX_DIGIT_ZERO;
    return static_cast<std::uint8_t>(sum);
}

void ValueCheckSum(std::uint16_t value, std::span<std::uint8_t> out) {
    const auto sum = static_cast<std::uint16_t>(((value & 0xFFU) + (value >> 8)) & 0xFFU);
    ValToAsciiHex(sum, BYTE_FIELD_WIDTH, out, HIGH_BYTE_FIRST);
}

}  // namespace qel
