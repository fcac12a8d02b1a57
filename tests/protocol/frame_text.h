// Helpers of the protocol tests: frames as text, and an output buffer whose
// unused tail shows whether a builder wrote past its frame.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vuzorur.h"

namespace qel::test {

// A byte no frame contains; an unwritten position still holds it.
constexpr std::uint8_t UNWRITTEN = 0xEE;

inline std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

// A frame buffer of 20 bytes (the transactions' request area) with guards.
struct FrameBuffer {
    std::array<std::uint8_t, 20> bytes{};
    FrameBuffer() { bytes.fill(UNWRITTEN); }
    std::span<std::uint8_t> Span() { return bytes; }
    std::string Text(std::size_t length) const {
        return {bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(length, bytes.size()))};
    }
    // True when nothing after the first `length` bytes was written.
    bool TailUntouched(std::size_t length) const {
        return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(std::min(length, bytes.size())), bytes.end(),
                           [](std::uint8_t b) { return b == UNWRITTEN; });
    }
};

// A transfer of the fields the protocol looks at; `values` points at slots.
inline GateTransfer Transfer(std::uint32_t station, std::uint32_t areaCode, std::uint32_t element, std::int32_t count,
                             std::int32_t dataType = DATA_TYPE_WORD, std::uint16_t* values = nullptr) {
    GateTransfer transfer{};
    transfer.gas = "test";
    transfer.station = station;
    transfer.areaCode = areaCode;
    transfer.element = element;
    transfer.count = count;
    transfer.dataType = dataType;
    transfer.values = values;
    return transfer;
}

}  // namespace qel::test
