#include "session/gates/gate_list.h"

#include "common/line_file.h"

#include <cstdlib>
#include <set>
#include <vector>

namespace qel::session {

double ParsePeriod(const std::string& word) {
    const bool millis = word.size() > 2 && word.compare(word.size() - 2, 2, "ms") == 0;
    const bool seconds = !millis && word.size() > 1 && word.back() == 's';
    if (!millis && !seconds) return 0;
    const std::string number = word.substr(0, word.size() - (millis ? 2 : 1));
    if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos) return 0;
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size()) return 0;
    const double period = millis ? value / 1000 : value;
    return period >= 0.05 && period <= 86400 ? period : 0;
}

std::string WordHint(const std::string& word, const std::string& previous, const std::string& next) {
    const auto isNumber = [](const std::string& w) {
        return !w.empty() && w.find_first_not_of("0123456789.") == std::string::npos;
    };
    const std::string unitless = "a period from 50ms to 86400s, written with its unit and no space: 500ms, 2s";
    if (isNumber(word) && (next == "ms" || next == "s"))
        return "\"" + word + " " + next + "\" has a space before the unit; write " + word + next;
    if (isNumber(word)) return "\"" + word + "\" is no count (1 to 100); " + unitless;
    if ((word == "ms" || word == "s") && isNumber(previous))
        return "\"" + previous + " " + word + "\" has a space before the unit; write " + previous + word;
    const std::size_t digits = word.find_first_not_of("0123456789.");
    if (digits > 0 && digits != std::string::npos && word.find('=') == std::string::npos) {
        const std::string unit = word.substr(digits);
        const double period = ParsePeriod(word);
        if (period == 0 && (unit == "ms" || unit == "s"))
            return "\"" + word + "\" is outside the periods accepted, 50ms to 86400s";
        return "\"" + word + "\": the unit \"" + unit + "\" is not known; " + unitless;
    }
    if (const std::size_t equals = word.find('='); equals != std::string::npos) {
        const std::string field = word.substr(0, equals);
        return "\"" + field + "\" is no field of an entry; the fields are tag, type, order, scale, "
               "offset, unit, deadband and desc";
    }
    return "\"" + word + "\" is neither a count from 1 to 100, bit or word, a period from 50ms to 86400s, tag=NAME, "
           "nor a tag field (type=, order=, scale=, offset=, unit=, deadband=, desc=)";
}

bool CheckTagName(const std::string& tag, std::string& error) {
    if (tag.empty() || tag.size() > 64 || tag[0] == '.' || tag[0] == '-' ||
        tag.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-.") !=
            std::string::npos) {
        error = "tag \"" + tag + "\" cannot name a topic or a metric: use 1 to 64 letters, digits, '_', '-' and '.', "
                "starting with a letter, a digit or '_'";
        return false;
    }
    return true;
}

bool SplitEntryWords(const std::string& text, std::vector<std::string>& words, std::string& error) {
    words.clear();
    std::string word;
    bool inWord = false, quoted = false;
    for (const char c : text) {
        if (quoted) {
            if (c == '"') quoted = false;
            else word += c;
        } else if (c == '"') {
            quoted = inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted) {
        error = "a quote is not closed; a value with blanks is written desc=\"zone A\"";
        return false;
    }
    if (inWord) words.push_back(word);
    return true;
}

bool ReadGateList(const std::string& path, std::vector<ListedGate>& gates, std::string& error) {
    std::vector<common::TextLine> lines;
    if (!common::ReadTextLines(path, lines, error)) {
        error = "cannot read the gate list: " + error;
        return false;
    }
    return ParseGateList(lines, path, gates, error);
}

bool ParseGateList(const std::vector<common::TextLine>& lines, const std::string& path,
                   std::vector<ListedGate>& gates, std::string& error) {
    std::set<std::string> tags;
    for (const common::TextLine& line : lines) {
        const unsigned number = line.number;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        std::vector<std::string> rest;
        if (!SplitEntryWords(line.text, rest, error)) {
            error = where + error;
            return false;
        }
        const std::string gas = rest.empty() ? "" : rest.front();
        if (!rest.empty()) rest.erase(rest.begin());
        ListedGate listed;
        listed.line = number;
        Gate& gate = listed.gate;
        gate.gas = gas;
        gate.dataType = GuessDataType(gas);
        for (std::size_t i = 0; i < rest.size(); ++i) {
            const std::string& word = rest[i];
            const std::string& previous = i == 0 ? gas : rest[i - 1];
            const std::string next = i + 1 < rest.size() ? rest[i + 1] : "";
            if (word == "bit") {
                gate.dataType = DATA_TYPE_BIT;
            } else if (word == "word") {
                gate.dataType = DATA_TYPE_WORD;
            } else if (word.find_first_not_of("0123456789") == std::string::npos && word.size() <= 3 &&
                       std::stoi(word) >= 1 && std::stoi(word) <= 100) {
                gate.count = std::stoi(word);
            } else if (const double period = ParsePeriod(word); period > 0) {
                listed.period = period;
            } else if (word.rfind("tag=", 0) == 0) {
                listed.tag = word.substr(4);
                if (!CheckTagName(listed.tag, error)) {
                    error = path + ":" + std::to_string(number) + ": " + error;
                    return false;
                }
                if (!tags.insert(listed.tag).second) {
                    error = path + ":" + std::to_string(number) + ": tag \"" + listed.tag +
                            "\" is given twice; each tag names one gate";
                    return false;
                }
            } else if (const std::size_t equals = word.find('=');
                       equals != std::string::npos && IsTagField(word.substr(0, equals))) {
                if (!SetTagField(listed.spec, word.substr(0, equals), word.substr(equals + 1), error)) {
                    error = where + error;
                    return false;
                }
                listed.fields = true;
            } else {
                error = where + WordHint(word, previous, next);
                return false;
            }
        }
        const bool bits = gate.dataType == DATA_TYPE_BIT;
        if (!CheckTag(listed.spec, bits, gate.count, error)) {
            error = where + error;
            return false;
        }
        if (!listed.spec.typed) listed.spec.type = bits ? TagType::Bool : TagType::UInt16;
        gate.count *= static_cast<int>(listed.spec.Words());
        gates.push_back(listed);
    }
    if (gates.empty()) {
        error = path + ": the gate list names no gate";
        return false;
    }
    return true;
}

bool ReadGateList(const std::string& path, std::vector<Gate>& gates, std::string& error, bool* periodRefused,
                  std::vector<unsigned>* lines) {
    if (periodRefused != nullptr) *periodRefused = false;
    std::vector<ListedGate> listed;
    if (!ReadGateList(path, listed, error)) return false;
    for (const ListedGate& entry : listed) {
        if (entry.period > 0 || !entry.tag.empty() || entry.fields) {
            error = path + ":" + std::to_string(entry.line) + ": gate " + entry.gate.gas +
                    " has a period, a tag or a tag's field; this list is read whole each round";
            if (periodRefused != nullptr) *periodRefused = true;
            return false;
        }
        gates.push_back(entry.gate);
        if (lines != nullptr) lines->push_back(entry.line);
    }
    return true;
}

}  // namespace qel::session
