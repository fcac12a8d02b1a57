#include "store/store_limits.h"

#include <cctype>
#include <cstdlib>

namespace qel::store {

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// One item: a size or an age.
bool ParseItem(const std::string& item, StoreLimits& limits, std::string& error) {
    std::size_t digits = 0;
    while (digits < item.size() && (std::isdigit(static_cast<unsigned char>(item[digits])) || item[digits] == '.'))
        ++digits;
    if (digits == 0 || digits == item.size()) {
        error = "\"" + item + "\" is neither a size (100MB) nor an age (24h)";
        return false;
    }
    char* end = nullptr;
    const std::string number = item.substr(0, digits);
    const double value = std::strtod(number.c_str(), &end);
    // "M" is a MiB, "m" a minute; the longer units in any case.
    const std::string raw = item.substr(digits);
    const std::string unit = raw == "M" ? "mb" : raw == "G" ? "gb" : Lower(raw);
    if (end != number.c_str() + number.size() || value <= 0) {
        error = "\"" + item + "\": not a positive number";
        return false;
    }
    static const struct {
        const char* unit;
        double factor;
        bool size;
    } kUnits[] = {{"b", 1, true},           {"k", 1024, true},       {"kb", 1024, true},
                  {"kib", 1024, true},      {"m", 60e3, false},      {"mb", 1048576, true},
                  {"mib", 1048576, true},   {"g", 1073741824, true}, {"gb", 1073741824, true},
                  {"gib", 1073741824, true}, {"s", 1e3, false},      {"h", 3600e3, false},
                  {"d", 86400e3, false}};
    for (const auto& known : kUnits) {
        if (unit != known.unit) continue;
        if (known.size) limits.maxBytes = static_cast<std::uint64_t>(value * known.factor);
        else limits.maxAgeMillis = static_cast<std::int64_t>(value * known.factor);
        return true;
    }
    error = "\"" + item + "\": unknown unit (sizes B, k, MB, GB; ages s, m, h, d; M is MiB)";
    return false;
}

std::string Number(double value) {
    std::string text = std::to_string(value);
    text.erase(text.find_last_not_of('0') + 1);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

}  // namespace

bool ParseStoreLimits(const std::string& text, StoreLimits& limits, std::string& error) {
    limits = {};
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!ParseItem(item, limits, error)) return false;
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

std::string DescribeStoreLimits(const StoreLimits& limits) {
    std::string text;
    if (limits.maxBytes) text = Number(static_cast<double>(limits.maxBytes) / 1048576) + " MiB";
    if (limits.maxAgeMillis)
        text += (text.empty() ? "" : " or ") + Number(static_cast<double>(limits.maxAgeMillis) / 3600e3) + " h";
    return text.empty() ? "no bound" : text;
}

}  // namespace qel::store
