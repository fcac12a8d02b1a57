#include "mqtt/topic_hint.h"

#include <algorithm>
#include <cctype>

#include "common/nearest_word.h"

namespace qel::mqtt {

namespace {

std::vector<std::string> Segments(const std::string& topic) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = topic.find('/', start);
        parts.push_back(topic.substr(start, slash - start));
        if (slash == std::string::npos) return parts;
        start = slash + 1;
    }
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool AllDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// DR0010, IO0005: a gate's own part of a topic. Another well-formed one is
// another gate, not a mistyped one.
bool GatePart(const std::string& text) {
    return text.size() == 6 && std::isupper(static_cast<unsigned char>(text[0])) &&
           std::isupper(static_cast<unsigned char>(text[1])) && AllDigits(text.substr(2));
}

// The same number, written with or without leading zeros ("1", "001").
bool SameNumber(const std::string& a, const std::string& b) {
    if (!AllDigits(a) || !AllDigits(b)) return false;
    const auto bare = [](const std::string& s) { return s.substr(std::min(s.find_first_not_of('0'), s.size() - 1)); };
    return bare(a) == bare(b);
}

// Why segment `given` is not `wanted`, in words.
std::string Difference(const std::string& given, const std::string& wanted, std::size_t index, std::size_t count) {
    if (SameNumber(given, wanted))
        return "the station is written in three digits";
    if (Upper(given) == wanted) return "the area is written in capitals";
    if (index + 1 == count) return "the gate or tag is \"" + wanted + "\", not \"" + given + "\"";
    return "\"" + given + "\" differs from \"" + wanted + "\"";
}

}  // namespace

std::string TopicHint(const std::string& topic, const std::vector<std::string>& published) {
    const std::vector<std::string> given = Segments(topic);
    std::string best, why;
    std::size_t bestScore = 0;
    for (const std::string& candidate : published) {
        const std::vector<std::string> wanted = Segments(candidate);
        if (wanted.size() != given.size()) continue;
        // Near: one segment differs, and it differs a little or only in its form.
        std::size_t differing = 0, at = 0;
        for (std::size_t i = 0; i < wanted.size(); ++i)
            if (given[i] != wanted[i]) ++differing, at = i;
        if (differing != 1) continue;
        const std::string& g = given[at];
        const std::string& w = wanted[at];
        if (GatePart(g) && GatePart(w)) continue;
        const bool sameNumber = SameNumber(g, w);
        const std::size_t distance = sameNumber || Upper(g) == w ? 0 : common::EditDistance(g, w);
        if (distance > std::max<std::size_t>(1, w.size() / 3)) continue;
        const std::size_t score = 100 - std::min<std::size_t>(distance, 99);
        if (score > bestScore) {
            bestScore = score;
            best = candidate;
            why = Difference(g, w, at, wanted.size());
        }
    }
    return best.empty() ? "" : "; did you mean " + best + "/set? (" + why + ")";
}

}  // namespace qel::mqtt
