#include "session/gates/gate_address.h"

#include <cstdio>

namespace qel::session {

namespace {

constexpr std::size_t kStationDigits = 3;
constexpr std::size_t kMaxElementDigits = 4;
constexpr std::string_view kForce = "FORCE";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsLetter(char c) { return Upper(c) >= 'A' && Upper(c) <= 'Z'; }

}  // namespace

std::optional<GateAddress> GateAddress::Parse(std::string_view text) {
    if (text.size() < kStationDigits + 2) return std::nullopt;
    GateAddress gate;
    for (std::size_t i = 0; i < kStationDigits; ++i) {
        if (!IsDigit(text[i])) return std::nullopt;
        gate.station = gate.station * 10 + static_cast<unsigned>(text[i] - '0');
    }
    std::string_view rest = text.substr(kStationDigits);
    std::string upper;
    for (const char c : rest) upper.push_back(Upper(c));
    if (upper == kForce) {
        gate.area = kForce;
        return gate;
    }
    if (!IsLetter(rest[0]) || !IsLetter(rest[1])) return std::nullopt;
    gate.area = upper.substr(0, 2);
    const std::string_view digits = rest.substr(2);
    if (digits.size() > kMaxElementDigits) return std::nullopt;
    for (const char c : digits) {
        if (!IsDigit(c)) return std::nullopt;
        gate.element = gate.element * 10 + static_cast<unsigned>(c - '0');
    }
    return gate;
}

std::string GateAddress::Format() const {
    if (IsForce()) return StationText(station) + std::string(kForce);
    char element4[8];
    std::snprintf(element4, sizeof element4, "%04u", element % 10000);
    return StationText(station) + area.substr(0, 2) + element4;
}

bool GateAddress::Bits() const {
    return area == "IO" || area == "IR" || area == "IM" || area == "SR" || IsForce();
}

GateAddress GateAddress::Next() const {
    GateAddress next = *this;
    next.element = NextNumber(element, Bits());
    return next;
}

unsigned NextNumber(unsigned n, bool bits) { return bits && n % 10 == 7 ? n + 3 : n + 1; }

std::string StationText(unsigned station) {
    char text[8];
    std::snprintf(text, sizeof text, "%03u", station % 1000);
    return text;
}

}  // namespace qel::session
