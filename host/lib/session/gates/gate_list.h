// A gate list, as `qelhost poll --gates` and `qelgate --publish` read it: one
// gate per line, "GAS [COUNT] [bit|word] [PERIOD] [tag=NAME] [TAG FIELDS]"; blank lines and
// '#' comments are skipped (common/line_file.h). PERIOD is how often the gate
// is read, a number with "s" or "ms" (2s, 0.5s, 250ms), from 50 ms to a day;
// NAME names the gate where it is published (the MQTT topic's last part, the
// Sparkplug metric name): letters, digits, '_', '-' and '.', unique in the
// list. The tag fields (session/gates/tag.h) are NAME=VALUE words: type=,
// order=, scale=, offset=, unit=, deadband=, desc=; a value with blanks is
// quoted, desc="oven 2 zone A". With a 32-bit type the gate's count is its
// words, twice the values written. Only a publishing list takes periods,
// tags and their fields.
#pragma once

#include <string>
#include <vector>

#include "common/line_file.h"
#include "session/gates/tag.h"
#include "session/driver/qel_session.h"

namespace qel::session {

struct ListedGate {
    Gate gate;
    double period = 0;  // seconds; 0: the list's reader chooses
    std::string tag;    // empty: named by its address
    TagSpec spec;       // what the words mean; gate.count is words, values = gate.count / spec.Words()
    unsigned line = 0;  // where the list gave it
    bool fields = false;  // a tag field was written
};

// A line's words, a quoted value kept whole: `desc="zone A"` is one word,
// desc=zone A. False with the reason when a quote is not closed.
bool SplitEntryWords(const std::string& text, std::vector<std::string>& words, std::string& error);

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
// `lines` (when given): each gate's line in the file.
bool ReadGateList(const std::string& path, std::vector<Gate>& gates, std::string& error,
                  bool* periodRefused = nullptr, std::vector<unsigned>* lines = nullptr);

// "2s", "0.5s", "250ms" in seconds; 0 when the word is no period.
double ParsePeriod(const std::string& word);
// Why a word of a gate list's line is none of its fields, saying what is
// nearly right: a period without its unit or with a space before it, an
// unknown unit, a period out of range. previous, next: the words around it.
std::string WordHint(const std::string& word, const std::string& previous, const std::string& next);

}  // namespace qel::session
