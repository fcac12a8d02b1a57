#include "session/diagnosis/gate_diagnosis.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include "session/gates/gate_address.h"

namespace qel::session {

namespace {

constexpr int kHighestElement = 9999;  // four digits
constexpr int kLongestBlock = 100;

// The area mnemonics a person may mean; which of them a station has comes
// from the driver.
const char* const kAreaNames[] = {"TM", "CT", "DR", "CP", "TP", "IO", "IR", "IM", "SR", "WO"};

bool Accepted(QelSession& session, const std::string& gas, int dataType, int count) {
    Gate gate;
    gate.gas = gas;
    gate.dataType = dataType;
    gate.count = count;
    return session.Check(gate) == DriverResult::Done;
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

GateDiagnosis DiagnoseGate(QelSession& session, const Gate& gate, const StationModels& models) {
    GateDiagnosis d;
    d.gas = gate.gas;
    d.count = gate.count;
    const std::string gas = Upper(gate.gas);
    if (gas.size() > 9) {
        d.fault = GateFault::TooLong;
        return d;
    }
    if (gas.size() < 3 || !AllDigits(gas.substr(0, 3))) {
        d.fault = GateFault::NoStation;
        return d;
    }
    d.station3 = gas.substr(0, 3);
    d.station = static_cast<unsigned>(std::stoi(d.station3));
    if (d.station >= STATION_COUNT) {
        d.fault = GateFault::StationAbove255;
        return d;
    }
    const unsigned station = d.station;
    d.model = session.StationModel(station);
    const bool fa2 = StationKindOf(d.model) == StationKind::FA2;
    d.takenForFa2 = fa2 && !models.named[station];
    d.origin = OriginOf(models, station);
    const std::string rest = gas.substr(3);

    if (rest == "FORCE") {
        d.area = rest;
        d.fault = gate.count != 1 ? GateFault::ForceBlock : fa2 ? GateFault::ForceOnFa2 : GateFault::ForceIsBit;
        return d;
    }
    d.area = rest.substr(0, std::min<std::size_t>(2, rest.size()));
    d.digits = rest.size() > 2 ? rest.substr(2) : "";
    auto hasArea = [&](const std::string& name) {
        const bool bit = GateAddress{station, name, 0}.Bits();
        return !LegalElements(session, station, name, bit ? DATA_TYPE_BIT : DATA_TYPE_WORD, 1).empty() ||
               !LegalElements(session, station, name, DATA_TYPE_WORD, 2).empty();
    };
    if (d.area.size() != 2 || !hasArea(d.area)) {
        for (const char* name : kAreaNames) {
            if (!hasArea(name)) continue;
            if (!d.areas.empty()) d.areas += ' ';
            d.areas += name;
        }
        d.fault = GateFault::NoArea;
        for (const char* name : kAreaNames) {
            if (d.area == name) d.fault = GateFault::AreaMissing;
        }
        return d;
    }
    if (!AllDigits(d.digits)) {
        d.fault = GateFault::BadElement;
        return d;
    }

    d.element = d.digits.empty() ? 0 : std::stoi(d.digits);
    d.bitArea = GuessDataType(gas) == DATA_TYPE_BIT;
    const int otherType = gate.dataType == DATA_TYPE_BIT ? DATA_TYPE_WORD : DATA_TYPE_BIT;
    if (gate.count == 1 && Accepted(session, gate.gas, otherType, 1)) {
        d.fault = GateFault::OtherType;
        return d;
    }
    const std::string single = LegalElements(session, station, d.area, d.bitArea ? DATA_TYPE_BIT : DATA_TYPE_WORD, 1);
    if (single.empty() && gate.count == 1) {
        d.legal = LegalElements(session, station, d.area, DATA_TYPE_WORD, 2);
        d.fault = GateFault::BlockOnly;
        return d;
    }
    if (gate.count != 1) {
        d.counts = LegalBlockCounts(session, gate);
        if (!d.counts.empty()) {
            d.fault = GateFault::BlockCount;
            return d;
        }
        // The element is good on its own, and no element of the area takes
        // a block: the model's rule, not the range, refuses it.
        if (!single.empty() && Accepted(session, gate.gas, gate.dataType, 1) &&
            LegalElements(session, station, d.area, gate.dataType, 2).empty() &&
            LegalElements(session, station, d.area, gate.dataType, 8).empty()) {
            d.fault = GateFault::NoBlock;
            return d;
        }
    }
    d.legal = single.empty() ? LegalElements(session, station, d.area, DATA_TYPE_WORD, 2) : single;
    d.fault = GateFault::OutsideRange;
    return d;
}

bool UnservedRead(QelSession& session, const Gate& gate) {
    const unsigned station = gate.definition.station;
    if (gate.definition.areaCode != AREA_WO || station >= STATION_COUNT) return false;
    return StationKindOf(session.StationModel(station)) != StationKind::FA2;
}

}  // namespace qel::session
