#include "protocol/reply.h"

#include <array>

#include "protocol/digit_codec.h"
#include "protocol/frame_parts.h"
#include "protocol/read_frames.h"

namespace qel {
namespace {

// The slot a single value goes to.
constexpr std::size_t SINGLE_SLOT = 1;

// The field of `width` characters at `position`; `present` is false (and the
// result 0) when the field does not lie wholly inside the reply.
std::uint16_t Field(std::span<const std::uint8_t> reply, std::size_t position, std::uint16_t width,
                    bool lowByteFirst, bool& present) {
    present = position + width <= reply.size();
    return present ? AsciiHexToVal(reply.subspan(position, width), width, lowByteFirst) : std::uint16_t{0};
}

// Stores into the slot only when the host's array has it.
void Store(std::span<std::uint16_t> values, std::size_t slot, std::uint16_t value) {
    if (slot < values.size()) values[slot] = value;
}

std::uint16_t Bit(std::uint16_t byte, std::size_t bit) {
    return static_cast<std::uint16_t>((byte >> bit) & 1U);
}

// The reply code that answers a request, or 0 when none can.
std::uint8_t ExpectedReplyCode(std::uint8_t command, std::uint8_t subcode) {
    switch (command) {
        case READ_ELEMENT_COMMAND:
            for (std::size_t i = 0; i + 1 < kReplyCodeTable.size(); i += 2) {
                if (static_cast<std::uint8_t>(kReplyCodeTable[i]) == subcode) {
                    return static_cast<std::uint8_t>(kReplyCodeTable[i + 1]);
                }
            }
            return 0;
        case READ_PRESET_TP_COMMAND:
            return PRESET_TP_REPLY_CODE;
        case READ_PRESET_CP_COMMAND:
            return PRESET_CP_REPLY_CODE;
        default:
            return 0;
    }
}

}  // namespace

std::size_t ReplyLength(std::uint8_t command, std::uint8_t subcode) {
    if (command == READ_PRESET_TP_COMMAND || command == READ_PRESET_CP_COMMAND) return WORD_REPLY_LENGTH;
    if (command != READ_ELEMENT_COMMAND) return 0;
    switch (subcode) {
        case '1':
        case '2':
        case '3':
        case '>':
        case '?':
            return BIT_REPLY_LENGTH;
        case '4':
        case '5':
        case '7':
        case '8':
            return WORD_REPLY_LENGTH;
        default:
            return 0;
    }
}

Result CheckReply(std::span<const std::uint8_t> request, std::span<const std::uint8_t> reply) {
    const std::size_t length = reply.size();
    if (length < 4 || request.size() < 2) return RESULT_REFUSED;
    if (reply[length - 1] != CR) return RESULT_REFUSED;
    std::array<std::uint8_t, BYTE_FIELD_WIDTH> sum{};
    ValToAsciiHex(CheckSum(reply.subspan(1, length - 4)), BYTE_FIELD_WIDTH, sum, HIGH_BYTE_FIRST);
    if (reply[length - 3] != sum[0] || reply[length - 2] != sum[1]) return RESULT_REFUSED;
    const std::uint8_t expected = ExpectedReplyCode(request[0], request[1]);
    return expected != 0 && reply[0] == expected ? RESULT_DONE : RESULT_REFUSED;
}

void DecodeWords(std::uint16_t areaCode, std::uint16_t count, bool fa3Station, std::span<const std::uint8_t> reply,
                 std::span<std::uint16_t> values) {
    const bool masked = areaCode == AREA_TM || areaCode == AREA_CT;
    const auto finish = [masked](std::uint16_t value) {
        return masked ? static_cast<std::uint16_t>(value & TIMER_COUNTER_MASK) : value;
    };
    bool present = false;
    if (count == 1) {
        const bool blockData = areaCode == AREA_WO || fa3Station;
        const std::uint16_t value =
            blockData ? Field(reply, 0, WORD_FIELD_WIDTH, LOW_BYTE_FIRST, present)
                      : Field(reply, 1, WORD_FIELD_WIDTH, HIGH_BYTE_FIRST, present);
        if (present) Store(values, SINGLE_SLOT, finish(value));
        return;
    }
    for (std::size_t i = 0; i < count && i < values.size(); ++i) {
        const std::uint16_t value = Field(reply, WORD_FIELD_WIDTH * i, WORD_FIELD_WIDTH, LOW_BYTE_FIRST, present);
        if (!present) return;
        values[i] = finish(value);
    }
}

void DecodeBits(std::uint16_t count, bool fa2Station, std::span<const std::uint8_t> reply,
                std::span<std::uint16_t> values) {
    bool present = false;
    if (count <= 1) {
        const std::uint16_t byte = Field(reply, fa2Station ? 1 : 0, BYTE_FIELD_WIDTH, HIGH_BYTE_FIRST, present);
        if (present) Store(values, SINGLE_SLOT, Bit(byte, 0));
        return;
    }
    if (fa2Station) {
        // One byte of eight bits answers an FA2 block; a shorter block
        // takes only as many of them as it has slots.
        const std::uint16_t byte = Field(reply, 1, BYTE_FIELD_WIDTH, HIGH_BYTE_FIRST, present);
        if (!present) return;
        for (std::size_t i = 0; i < 8 && i < count && i < values.size(); ++i) values[i] = Bit(byte, i);
        return;
    }
    std::uint16_t byte = 0;
    for (std::size_t i = 0; i < count && i < values.size(); ++i) {
        if (i % 8 == 0) {
            byte = Field(reply, BYTE_FIELD_WIDTH * (i / 8), BYTE_FIELD_WIDTH, HIGH_BYTE_FIRST, present);
            if (!present) return;
        }
        values[i] = Bit(byte, i % 8);
    }
}

void DecodeReply(std::uint16_t area, std::uint16_t count, StationKind kind, std::span<const std::uint8_t> reply,
                 std::span<std::uint16_t> values) {
    switch (area) {
        case AREA_TM:
        case AREA_CT:
        case AREA_DR:
        case AREA_CP:
        case AREA_TP:
        case AREA_WO:
            DecodeWords(area, count, kind == StationKind::FA3, reply, values);
            return;
        case AREA_IO:
        case AREA_IR:
        case AREA_SR:
            DecodeBits(count, kind == StationKind::FA2, reply, values);
            return;
        default:
            return;
    }
}

}  // namespace qel
