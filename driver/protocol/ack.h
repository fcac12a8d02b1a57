// The acknowledgement that answers SelectStation, the block read requests
// and the write frames, and its judgement. Receiving it from the line is the
// transaction's (transact/receive_ack.h).
//
// Ack, 4 characters: 'c', two characters not examined, CR.
// Nak, 5 characters: 'd', the error code character, two characters not
// examined, CR.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/frame_parts.h"

namespace qel {

constexpr std::uint8_t ACK_CODE = 'c';
constexpr std::uint8_t NAK_CODE = 'd';
constexpr std::size_t ACK_LENGTH = 4;
constexpr std::size_t NAK_LENGTH = 5;

// What the first ACK_LENGTH characters of an answer are.
enum class AckStart : std::uint8_t {
    Ack,           // 'c' with CR in the fourth place
    AckWithoutCr,  // 'c' without it
    Nak,           // 'd': the fifth character decides (NakComplete)
    Illegal,       // neither 'c' nor 'd'
};
constexpr AckStart JudgeAckStart(std::span<const std::uint8_t, ACK_LENGTH> answer) {
    if (answer[0] == ACK_CODE) return answer[3] == CR ? AckStart::Ack : AckStart::AckWithoutCr;
    if (answer[0] == NAK_CODE) return AckStart::Nak;
    return AckStart::Illegal;
}

// True when the fifth character of a Nak is its CR.
constexpr bool NakComplete(std::uint8_t fifth) { return fifth == CR; }

// The error code character of a Nak (its second character).
constexpr std::uint8_t NakErrorCode(std::span<const std::uint8_t, ACK_LENGTH> answer) { return answer[1]; }

}  // namespace qel
