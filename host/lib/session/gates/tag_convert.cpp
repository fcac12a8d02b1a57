#include "session/gates/tag_convert.h"

#include <bit>
#include <cfloat>
#include <cmath>

namespace qel::session {

namespace {

// The value of a BCD word's four digits; false when a nibble is above 9.
bool FromBcd(std::uint16_t word, std::uint32_t& value) {
    value = 0;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const unsigned digit = (word >> shift) & 0xF;
        if (digit > 9) return false;
        value = value * 10 + digit;
    }
    return true;
}

std::uint16_t ToBcd(std::uint32_t value) {
    std::uint16_t word = 0;
    for (int shift = 0; shift < 16; shift += 4) {
        word = static_cast<std::uint16_t>(word | ((value % 10) << shift));
        value /= 10;
    }
    return word;
}

std::string Hex(std::uint16_t word) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = 12; shift >= 0; shift -= 4) text += digits[(word >> shift) & 0xF];
    return text;
}

std::string Units(const TagSpec& spec) { return spec.unit.empty() ? "" : " " + spec.unit; }

std::string RangeText(const TagSpec& spec) {
    const auto range = spec.Range();
    return NumberText(range->first) + " to " + NumberText(range->second) + Units(spec);
}

}  // namespace

bool DecodeTag(const TagSpec& spec, std::span<const std::uint16_t> words, std::vector<double>& values,
               std::string& error) {
    values.clear();
    const unsigned width = spec.Words();
    if (words.size() % width != 0) {
        error = "an odd number of words for a 32-bit type";
        return false;
    }
    for (std::size_t i = 0; i < words.size(); i += width) {
        const std::uint16_t first = words[i];
        const std::uint16_t second = width == 2 ? words[i + 1] : 0;
        const std::uint16_t hi = spec.order == WordOrder::HiLo ? first : second;
        const std::uint16_t lo = spec.order == WordOrder::HiLo ? second : first;
        const std::uint32_t both = (static_cast<std::uint32_t>(hi) << 16) | lo;
        double raw = 0;
        switch (spec.type) {
        case TagType::Bool: raw = first != 0 ? 1 : 0; break;
        case TagType::Int16: raw = static_cast<std::int16_t>(first); break;
        case TagType::UInt16: raw = first; break;
        case TagType::Int32: raw = static_cast<std::int32_t>(both); break;
        case TagType::UInt32: raw = both; break;
        case TagType::Float32: {
            const float f = std::bit_cast<float>(both);
            if (!std::isfinite(f)) {
                error = "the words ";
                error += Hex(words[i]);
                error += ' ';
                error += Hex(words[i + 1]);
                error += " are no finite float32";
                return false;
            }
            raw = f;
            break;
        }
        case TagType::Bcd16:
        case TagType::Bcd32: {
            std::uint32_t high = 0, low = 0;
            const bool ok = spec.type == TagType::Bcd16 ? FromBcd(first, low) : FromBcd(hi, high) && FromBcd(lo, low);
            if (!ok) {
                error = "the word";
                // Appended piece by piece: GCC 12 warns of an overlap that is not there in
                // "literal" + a temporary string.
                if (width == 2) {
                    error += "s ";
                    error += Hex(words[i]);
                    error += ' ';
                    error += Hex(words[i + 1]);
                    error += " are";
                } else {
                    error += ' ';
                    error += Hex(first);
                    error += " is";
                }
                error += " no BCD: a digit is above 9";
                return false;
            }
            raw = static_cast<double>(high) * 10000 + low;
            break;
        }
        }
        values.push_back(raw * spec.scale + spec.offset);
    }
    return true;
}

bool EncodeTag(const TagSpec& spec, double value, std::vector<std::uint16_t>& words, std::string& error) {
    words.clear();
    if (!std::isfinite(value)) {
        error = "a value is a finite number, not NaN or infinity";
        return false;
    }
    if (spec.type == TagType::Bool) {
        if (value != 0 && value != 1) {
            error = NumberText(value) + " is no bool; a bool takes 0 or 1";
            return false;
        }
        words.push_back(static_cast<std::uint16_t>(value));
        return true;
    }
    const double raw = (value - spec.offset) / spec.scale;
    std::uint32_t both = 0;
    if (spec.type == TagType::Float32) {
        if (!std::isfinite(raw) || std::fabs(raw) > FLT_MAX) {
            error = NumberText(value) + Units(spec) + " is beyond a float32's range after the scaling";
            return false;
        }
        both = std::bit_cast<std::uint32_t>(static_cast<float>(raw));
    } else {
        // Halves away from zero; the range checked on the rounded number, so
        // a value that rounds onto the range's end is taken.
        const double rounded = std::round(raw);
        const auto [low, high] = RawRange(spec.type);
        if (!(rounded >= low && rounded <= high)) {
            error = NumberText(value) + Units(spec) + " is out of range; the tag takes " + RangeText(spec);
            return false;
        }
        switch (spec.type) {
        case TagType::Int16:
            words.push_back(static_cast<std::uint16_t>(static_cast<std::int16_t>(rounded)));
            return true;
        case TagType::UInt16:
            words.push_back(static_cast<std::uint16_t>(rounded));
            return true;
        case TagType::Bcd16: words.push_back(ToBcd(static_cast<std::uint32_t>(rounded))); return true;
        case TagType::Int32: both = static_cast<std::uint32_t>(static_cast<std::int32_t>(rounded)); break;
        case TagType::UInt32: both = static_cast<std::uint32_t>(rounded); break;
        case TagType::Bcd32: {
            const auto n = static_cast<std::uint32_t>(rounded);
            both = (static_cast<std::uint32_t>(ToBcd(n / 10000)) << 16) | ToBcd(n % 10000);
            break;
        }
        case TagType::Bool:
        case TagType::Float32: break;
        }
    }
    const auto hi = static_cast<std::uint16_t>(both >> 16);
    const auto lo = static_cast<std::uint16_t>(both & 0xFFFF);
    words.push_back(spec.order == WordOrder::HiLo ? hi : lo);
    words.push_back(spec.order == WordOrder::HiLo ? lo : hi);
    return true;
}

bool EncodeTagValues(const TagSpec& spec, std::span<const double> values, std::vector<std::uint16_t>& words,
                     std::string& error) {
    std::vector<std::uint16_t> all;
    std::vector<std::uint16_t> one;
    for (const double value : values) {
        if (!EncodeTag(spec, value, one, error)) return false;
        all.insert(all.end(), one.begin(), one.end());
    }
    words = std::move(all);
    return true;
}

bool PastDeadband(const TagSpec& spec, std::span<const double> last, std::span<const double> now) {
    if (last.size() != now.size()) return true;
    for (std::size_t i = 0; i < now.size(); ++i) {
        if (spec.deadband == 0 ? now[i] != last[i] : std::fabs(now[i] - last[i]) >= spec.deadband) return true;
    }
    return false;
}

}  // namespace qel::session
