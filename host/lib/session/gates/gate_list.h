// A gate list, as `qelhost poll --gates` and `qelgate --publish` read it: one
// gate per line, "GAS [COUNT] [bit|word] [PERIOD] [tag=NAME]"; blank lines and
// '#' comments are skipped (common/line_file.h). PERIOD is how often the gate
// is read, a number with "s" or "ms" (2s, 0.5s, 250ms), from 50 ms to a day;
// NAME names the gate where it is published (the MQTT topic's last part, the
// Sparkplug metric name): letters, digits, '_', '-' and '.', unique in the
// list. Only a publishing list takes periods and tags.
#pragma once

#include <string>
#include <vector>

#include "common/line_file.h"
#include "session/driver/qel_session.h"

namespace qel::session {

struct ListedGate {
    Gate gate;
    double period = 0;  // seconds; 0: the list's reader chooses
    std::string tag;    // empty: named by its address
};

// A tag name that may stand in a topic and a metric name; false with a reason.
bool CheckTagName(const std::string& tag, std::string& error);

// False with "file:line: reason" in error.
bool ReadGateList(const std::string& path, std::vector<ListedGate>& gates, std::string& error);
// The same for entries already split into lines; `origin` names where they
// came from in the errors ("origin:line: reason").
bool ParseGateList(const std::vector<common::TextLine>& lines, const std::string& origin,
                   std::vector<ListedGate>& gates, std::string& error);
// The same, for a reader that reads every gate each round: a period or a tag
// is refused, and `periodRefused` (when given) tells that this was why.
bool ReadGateList(const std::string& path, std::vector<Gate>& gates, std::string& error,
                  bool* periodRefused = nullptr);

// "2s", "0.5s", "250ms" in seconds; 0 when the word is no period.
double ParsePeriod(const std::string& word);
// Why a word of a gate list's line is none of its fields, saying what is
// nearly right: a period without its unit or with a space before it, an
// unknown unit, a period out of range. previous, next: the words around it.
std::string WordHint(const std::string& word, const std::string& previous, const std::string& next);

}  // namespace qel::session
