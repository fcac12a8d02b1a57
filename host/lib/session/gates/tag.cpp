#include "session/gates/tag.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace qel::session {

namespace {

struct TypeName {
    TagType type;
    const char* name;
};

constexpr TypeName kNames[] = {
    {TagType::Bool, "bool"},       {TagType::Int16, "int16"},     {TagType::UInt16, "uint16"},
    {TagType::Int32, "int32"},     {TagType::UInt32, "uint32"},   {TagType::Float32, "float32"},
    {TagType::Bcd16, "bcd16"},     {TagType::Bcd32, "bcd32"},
};

// A block reads at most this many words in one exchange.
constexpr int kMaxBlockWords = 100;

// A finite number and nothing after it.
bool ParseNumber(const std::string& text, double& value) {
    if (text.empty() || text.find_first_of(" \t") != std::string::npos) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

}  // namespace

std::pair<double, double> RawRange(TagType type) {
    switch (type) {
    case TagType::Bool: return {0, 1};
    case TagType::Int16: return {-32768, 32767};
    case TagType::UInt16: return {0, 65535};
    case TagType::Int32: return {-2147483648.0, 2147483647.0};
    case TagType::UInt32: return {0, 4294967295.0};
    case TagType::Bcd16: return {0, 9999};
    case TagType::Bcd32: return {0, 99999999};
    case TagType::Float32: break;
    }
    return {0, 0};
}

const char* const kTagTypes = "bool, int16, uint16, int32, uint32, float32, bcd16, bcd32";

const char* TagTypeName(TagType type) {
    for (const TypeName& n : kNames)
        if (n.type == type) return n.name;
    return "?";
}

std::optional<TagType> ParseTagType(const std::string& name) {
    for (const TypeName& n : kNames)
        if (name == n.name) return n.type;
    return std::nullopt;
}

bool Is32(TagType type) {
    return type == TagType::Int32 || type == TagType::UInt32 || type == TagType::Float32 || type == TagType::Bcd32;
}

unsigned TagSpec::Words() const { return Is32(type) ? 2 : 1; }

bool TagSpec::Identity() const {
    return (type == TagType::UInt16 || type == TagType::Bool) && scale == 1 && offset == 0;
}

std::optional<std::pair<double, double>> TagSpec::Range() const {
    if (type == TagType::Float32 || type == TagType::Bool) return std::nullopt;
    const auto [low, high] = RawRange(type);
    const double a = TidyValue(low * scale + offset);
    const double b = TidyValue(high * scale + offset);
    return std::make_pair(std::min(a, b), std::max(a, b));
}

bool IsTagField(const std::string& field) {
    return field == "type" || field == "order" || field == "scale" || field == "offset" || field == "unit" ||
           field == "deadband" || field == "desc";
}

bool SetTagField(TagSpec& spec, const std::string& field, const std::string& value, std::string& error) {
    error.clear();
    if (field == "type") {
        const auto type = ParseTagType(value);
        if (!type) {
            error = "type=" + value + " is no type; a type is one of " + kTagTypes;
            return false;
        }
        spec.type = *type;
        spec.typed = true;
        return true;
    }
    if (field == "order") {
        if (value != "hi-lo" && value != "lo-hi") {
            error = "order=" + value + " is no word order; write order=hi-lo (the high word first, the default) "
                    "or order=lo-hi";
            return false;
        }
        spec.order = value == "hi-lo" ? WordOrder::HiLo : WordOrder::LoHi;
        return true;
    }
    if (field == "scale" || field == "offset" || field == "deadband") {
        double number = 0;
        if (!ParseNumber(value, number)) {
            error = field + "=" + value + " is no number; write e.g. " + field + "=" +
                    (field == "scale" ? "0.1" : field == "offset" ? "-40" : "0.5");
            return false;
        }
        if (field == "scale" && number == 0) {
            error = "scale=0 would make every value the same; scale is a number other than 0, e.g. scale=0.1";
            return false;
        }
        if (field == "deadband" && number < 0) {
            error = "deadband=" + value + " is below 0; a deadband is 0 or more, in the tag's units";
            return false;
        }
        (field == "scale" ? spec.scale : field == "offset" ? spec.offset : spec.deadband) = number;
        return true;
    }
    if (field == "unit" || field == "desc") {
        const std::size_t limit = field == "unit" ? 32 : 200;
        if (value.size() > limit) {
            error = field + " is longer than " + std::to_string(limit) + " bytes";
            return false;
        }
        for (const char c : value)
            if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') {
                error = field + " holds a control character, a '\"' or a '\\'; write plain text";
                return false;
            }
        (field == "unit" ? spec.unit : spec.desc) = value;
        return true;
    }
    return false;
}

bool CheckTag(const TagSpec& spec, bool bits, int count, std::string& error) {
    if (bits && spec.typed && spec.type != TagType::Bool) {
        error = std::string("type=") + TagTypeName(spec.type) +
                " on a bit gate; a bit gate takes type=bool or no type, the other types need a word area";
        return false;
    }
    if (!bits && spec.typed && spec.type == TagType::Bool) {
        error = std::string("type=bool on a word gate; bool is for bit gates, a word gate takes int16, uint16, "
                            "int32, uint32, float32, bcd16 or bcd32");
        return false;
    }
    if (bits && spec.deadband > 0) {
        error = "a deadband on a bool; a bit changes whole, leave deadband out";
        return false;
    }
    if (bits && (spec.scale != 1 || spec.offset != 0)) {
        error = "scale or offset on a bool; they are for the number types, leave them out";
        return false;
    }
    if (count * static_cast<int>(spec.Words()) > kMaxBlockWords) {
        error = std::string("type=") + TagTypeName(spec.type) + " takes two words a value, and " +
                std::to_string(count) + " values are " + std::to_string(count * 2) +
                " words; a block reads at most 100 words, 50 values of a 32-bit type";
        return false;
    }
    return true;
}

std::string NumberText(double value) {
    // 15 digits: the last two of a double's 17 are the noise of the
    // arithmetic (9999 x 0.1 is 999.9000000000001), not of the value.
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

double TidyValue(double value) { return std::strtod(NumberText(value).c_str(), nullptr); }

}  // namespace qel::session
