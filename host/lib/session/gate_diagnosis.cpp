#include "session/gate_diagnosis.h"

#include <cctype>
#include <cstdio>
#include <vector>

#include "session/gate_address.h"

namespace qel::session {

namespace {

constexpr int kHighestElement = 9999;  // four digits
constexpr int kLongestBlock = 100;

const char* const kAddressForm =
    "a gate address is a three-digit station 000-255, an area and an element of up to four digits "
    "(001DR0399, 012IO157), or a station and FORCE (005FORCE)";

// The area mnemonics a person may mean; which of them a station has comes
// from the driver.
const char* const kAreaNames[] = {"TM", "CT", "DR", "CP", "TP", "IO", "IR", "IM", "SR", "WO"};

std::string Station3(unsigned station) {
    char text[8];
    std::snprintf(text, sizeof text, "%03u", station);
    return text;
}

bool Accepted(QelSession& session, const std::string& gas, int dataType, int count) {
    Gate gate;
    gate.gas = gas;
    gate.dataType = dataType;
    gate.count = count;
    return session.Check(gate) == QEL_RESULT_DONE;
}

// Runs of accepted numbers; in a bit area (no number ending in 8 or 9 is
// ever accepted) a run goes on from ...7 to the next ...0.
std::string Runs(const std::vector<int>& numbers, bool bitNumbering) {
    std::string text;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t j = i;
        while (j + 1 < numbers.size() &&
               (numbers[j + 1] == numbers[j] + 1 || (bitNumbering && numbers[j] % 10 == 7 && numbers[j + 1] == numbers[j] + 3))) {
            ++j;
        }
        if (!text.empty()) text += ", ";
        text += std::to_string(numbers[i]);
        if (j > i) {
            text += '-';
            text += std::to_string(numbers[j]);
        }
        i = j + 1;
    }
    return text;
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool AllDigits(const std::string& text) {
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

}  // namespace

std::string LegalElements(QelSession& session, unsigned station, const std::string& area, int dataType, int count) {
    std::vector<int> numbers;
    bool bitNumbering = true;
    for (int element = 0; element <= kHighestElement; ++element) {
        if (!Accepted(session, GateAddress{station, area, static_cast<unsigned>(element)}.Format(), dataType, count))
            continue;
        numbers.push_back(element);
        if (element % 10 >= 8) bitNumbering = false;
    }
    return Runs(numbers, bitNumbering);
}

std::string LegalBlockCounts(QelSession& session, const Gate& gate) {
    std::vector<int> counts;
    bool everyEighth = true;
    for (int count = 2; count <= kLongestBlock; ++count) {
        if (!Accepted(session, gate.gas, gate.dataType, count)) continue;
        counts.push_back(count);
        if (count % 8 != 0) everyEighth = false;
    }
    if (counts.size() > 1 && everyEighth) return "a multiple of 8 up to " + std::to_string(counts.back());
    return Runs(counts, false);
}

std::string ExplainIllegalGate(QelSession& session, const Gate& gate, const StationModels& models) {
    const std::string gas = Upper(gate.gas);
    const std::string head = "gate " + gate.gas + " is illegal: ";
    if (gas.size() > 9) return head + "it has more than 9 characters; " + kAddressForm;
    if (gas.size() < 3 || !AllDigits(gas.substr(0, 3))) {
        return head + "it does not start with a three-digit station; " + kAddressForm;
    }
    const unsigned station = static_cast<unsigned>(std::stoi(gas.substr(0, 3)));
    if (station >= STATION_COUNT) return head + "station " + gas.substr(0, 3) + " is above 255";

    const std::string model = session.StationModel(station);
    const std::string where = "station " + std::to_string(station) + ", an " + model;
    const std::string nameIt = models.named[station]
                                   ? ""
                                   : "; station " + std::to_string(station) +
                                         " is taken for an FA2 because no station model names it: if it is an FA-3, "
                                         "name it with --station " + std::to_string(station) + ":FA3";
    const std::string fa2Hint = StationKindOf(model) == StationKind::FA2 ? nameIt : "";
    const std::string rest = gas.substr(3);

    if (rest == "FORCE") {
        if (gate.count != 1) return head + "the FORCE gate takes no block";
        if (StationKindOf(model) == StationKind::FA2) return head + "FORCE is the force-mode gate of an FA-3, and " + where + fa2Hint;
        return head + "the FORCE gate holds a bit (check it with --bit)";
    }
    const std::string area = rest.substr(0, std::min<std::size_t>(2, rest.size()));
    const std::string digits = rest.size() > 2 ? rest.substr(2) : "";
    auto hasArea = [&](const std::string& name) {
        const bool bit = GuessDataType(Station3(station) + name) == DATA_TYPE_BIT;
        return !LegalElements(session, station, name, bit ? DATA_TYPE_BIT : DATA_TYPE_WORD, 1).empty() ||
               !LegalElements(session, station, name, DATA_TYPE_WORD, 2).empty();
    };
    if (area.size() != 2 || !hasArea(area)) {
        std::string areas;
        for (const char* name : kAreaNames) {
            if (!hasArea(name)) continue;
            if (!areas.empty()) areas += ' ';
            areas += name;
        }
        for (const char* name : kAreaNames) {
            if (area == name) return head + area + " is no area of " + where + " (its areas: " + areas + ")" + fa2Hint;
        }
        return head + "\"" + area + "\" is no area of " + where + " (its areas: " + areas + "); " + kAddressForm;
    }
    if (!AllDigits(digits)) return head + "the element \"" + digits + "\" is not up to four digits; " + kAddressForm;

    const int element = digits.empty() ? 0 : std::stoi(digits);
    const bool bitArea = GuessDataType(gas) == DATA_TYPE_BIT;
    const int otherType = gate.dataType == DATA_TYPE_BIT ? DATA_TYPE_WORD : DATA_TYPE_BIT;
    if (gate.count == 1 && Accepted(session, gate.gas, otherType, 1)) {
        return head + area + " holds " + (bitArea ? "bits (check it with --bit)" : "words (check it with --word)");
    }
    const std::string single = LegalElements(session, station, area, bitArea ? DATA_TYPE_BIT : DATA_TYPE_WORD, 1);
    if (single.empty()) {
        const std::string blocks = LegalElements(session, station, area, DATA_TYPE_WORD, 2);
        if (gate.count == 1) {
            return head + area + " on " + where + " is read only as a block (--count N; elements " + blocks + ")";
        }
    }
    if (gate.count != 1) {
        const std::string counts = LegalBlockCounts(session, gate);
        if (!counts.empty()) {
            return head + "a block of " + std::to_string(gate.count) + " " + area + " elements on " + where +
                   " is not allowed; the count is " + counts;
        }
    }
    const std::string legal = single.empty() ? LegalElements(session, station, area, DATA_TYPE_WORD, 2) : single;
    std::string text = head + "element " + std::to_string(element) + " is outside " + area + " on " + where +
                       " (legal: " + legal + ")";
    if (bitArea && area != "SR" && (element % 10) >= 8) text += "; the last digit is the bit, 0 to 7";
    return text + fa2Hint;
}

std::string ExplainUnservedRead(QelSession& session, const Gate& gate) {
    const unsigned station = gate.definition.station;
    if (gate.definition.areaCode != AREA_WO || station >= STATION_COUNT) return {};
    if (StationKindOf(session.StationModel(station)) == StationKind::FA2) return {};
    return "the gate check takes WO blocks of an FA-3, but the driver has no FA-3 WO read frame: it refuses the "
           "read and sends nothing, whatever the line settings";
}

}  // namespace qel::session
