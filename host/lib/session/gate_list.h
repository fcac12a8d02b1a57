// A gate list, as `qelhost poll --gates` and `qelgate --publish` read it: one
// gate per line, "GAS [COUNT] [bit|word] [PERIOD]"; blank lines and lines
// starting with # are skipped. PERIOD is how often the gate is read, a number
// with "s" or "ms" (2s, 0.5s, 250ms), from 50 ms to a day; only a publishing
// list takes it.
#pragma once

#include <string>
#include <vector>

#include "session/qel_session.h"

namespace qel::session {

struct ListedGate {
    Gate gate;
    double period = 0;  // seconds; 0: the list's reader chooses
};

// False with "file:line: reason" in error.
bool ReadGateList(const std::string& path, std::vector<ListedGate>& gates, std::string& error);
// The same, for a reader that reads every gate each round: a period is
// refused, and `periodRefused` (when given) tells that this was why.
bool ReadGateList(const std::string& path, std::vector<Gate>& gates, std::string& error,
                  bool* periodRefused = nullptr);

// "2s", "0.5s", "250ms" in seconds; 0 when the word is no period.
double ParsePeriod(const std::string& word);

}  // namespace qel::session
