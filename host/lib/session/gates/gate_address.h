// A gate address as a host writes it: three station digits, a two-letter
// area and up to four element digits ("001DR0010", "012IO157"), or three
// station digits and the keyword FORCE ("005FORCE"). This is the text form
// only: which stations, areas and numbers a station's model has is the
// driver's check to say (QEL_CHECK_GATE), never this type's.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qel::session {

struct GateAddress {
    unsigned station = 0;  // 0-999 as written; the driver takes 0-255
    std::string area;      // "DR", "IO", ... upper-cased, or "FORCE"
    unsigned element = 0;  // the written number, 0-9999 (none written is 0); bit areas: byte digits, then the bit

    // Letters in any case; refused (nullopt) when the text is not of the
    // form: not three station digits, no two letters after them, more than
    // four element digits, anything but digits after the area, or anything
    // after FORCE.
    static std::optional<GateAddress> Parse(std::string_view text);

    // "001DR0010": the element with four digits; "005FORCE".
    std::string Format() const;

    bool IsForce() const { return area == "FORCE"; }
    // IO, IR, IM, SR and FORCE: one bit per element, and the element's last
    // digit is the bit of its byte.
    bool Bits() const;

    // The element that follows this one in its area: bit areas skip the bit
    // digits 8 and 9 (IO 7 is followed by IO 10).
    GateAddress Next() const;

    friend bool operator==(const GateAddress&, const GateAddress&) = default;
};

// The written number that follows n in its area (GateAddress::Next).
unsigned NextNumber(unsigned n, bool bits);

// "001": a station as gate addresses and station model lines write it.
std::string StationText(unsigned station);

}  // namespace qel::session
