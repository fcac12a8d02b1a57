// One change of a line's memory as a recording keeps it: when it was read,
// and which element of which station now holds which value. The area and
// number are written as in a gate address ("DR" 10, "IO" 157: byte 15 bit 7),
// as fasim's memory takes them.
#pragma once

#include <cstdint>
#include <string>

namespace qel::record {

struct Change {
    std::int64_t millis = 0;  // UTC milliseconds of the read that saw it
    unsigned station = 0;
    std::string area;
    unsigned number = 0;
    std::uint16_t value = 0;

    friend bool operator==(const Change&, const Change&) = default;
};

}  // namespace qel::record
