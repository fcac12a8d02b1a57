// What every fuzz target shares: a QEL driven through QelMain, the driver's
// messages sent nowhere, and a scratch directory as the current directory
// (the station model file is read from there).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vuzorur.h"

namespace fuzzhost {

// Once per process: messages to /dev/null, a fresh empty current directory.
// Returns that directory.
const std::string& Prepare();

// Reads the input front to back; past its end every read gives 0.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t Word() {
        const std::uint16_t low = Byte();
        return static_cast<std::uint16_t>(low | (Byte() << 8));
    }
    // Up to `count` further bytes (fewer at the end of the input).
    std::string Take(std::size_t count);
    std::string Rest() { return Take(size_ - at_); }
    bool Empty() const { return at_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace fuzzhost
