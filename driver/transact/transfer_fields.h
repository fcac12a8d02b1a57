// The fields of the host's GateTransfer as the transactions hand them to the
// frame builders and the reply decoder, which take plain fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vuzorur.h"

namespace qel {

// The fields of a GateTransfer as the transactions use them: area code,
// element and count are taken as their low 16 bits.
constexpr std::uint16_t TransferArea(const GateTransfer& transfer) {
    return static_cast<std::uint16_t>(transfer.areaCode & 0xFFFFU);
}
constexpr std::uint16_t TransferElement(const GateTransfer& transfer) {
    return static_cast<std::uint16_t>(transfer.element & 0xFFFFU);
}
constexpr std::uint16_t TransferCount(const GateTransfer& transfer) {
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(transfer.count) & 0xFFFFU);
}

// The value a write sends: always slot 1 of the host's array, whatever the
// count. 0 when the transfer has no array.
inline std::uint16_t TransferValue(const GateTransfer& transfer) {
    return transfer.values != nullptr ? std::span<const std::uint16_t>(transfer.values, 2)[1] : std::uint16_t{0};
}

// The slots of the host's array that a read may fill: slots 0 and 1 for a
// single value (count 0 or 1, stored in slot 1), slots 0 to count - 1 for a
// block. Empty when the transfer has no array.
inline std::span<std::uint16_t> TransferSlots(const GateTransfer& transfer) {
    if (transfer.values == nullptr) return {};
    const std::uint16_t count = TransferCount(transfer);
    return {transfer.values, count > 1 ? count : std::size_t{2}};
}

}  // namespace qel
