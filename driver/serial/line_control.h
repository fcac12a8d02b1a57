// The bits of a port's lineControl word (PortSettings), as every backend
// reads them.
#pragma once

#include <cstdint>

namespace qel {

constexpr std::uint16_t LINE_DTR_ON = 0x0101;         // DTR held on
constexpr std::uint16_t LINE_DTR_HANDSHAKE = 0x8000;  // DTR as a handshake line
constexpr std::uint16_t LINE_RTS_ON = 0x0202;         // RTS held on
constexpr std::uint16_t LINE_RTS_HANDSHAKE = 0x1000;  // RTS as a handshake line
constexpr std::uint16_t LINE_RTS_TOGGLE = 0x2000;     // RTS raised while sending

// True when any of the mask's bits is set in the control word.
constexpr bool LineControlHas(std::uint16_t control, std::uint16_t mask) { return (control & mask) != 0; }

}  // namespace qel
