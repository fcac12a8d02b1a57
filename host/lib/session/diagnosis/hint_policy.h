// Which hint a failed read or write gets: one pure policy for every caller.
// A caller that may talk to the station (HostContext, which owns the line
// between its attempts) answers the questions the policy asks and asks it
// again; one that may not (GateAccess, beside a running scheduler) says so,
// and the policy decides without them.
#pragma once

#include <cstdint>
#include <optional>

#include "session/diagnosis/diagnosis.h"

namespace qel::session {

// What the policy may want to know from the station itself.
enum class HintQuestion {
    None,
    AnswersAs,   // which model does the station answer as (a probe)?
    AnswerTime,  // does it answer a selection at all, and after how long (one long wait)?
};

struct HintFacts {
    bool write = false;
    std::uint32_t area = 0;   // the gate's area code (AREA_DR, ...)
    std::uint16_t value = 0;  // the value written
    Outcome outcome;
    bool known = false;        // the station number is one the driver serves (below 256)
    bool modelKnown = true;    // the model the QEL holds for it is one the driver knows
    bool unservedRead = false; // the driver has no read frame for the gate (a WO block of an FA-3)
    bool named = false;        // a model file or a station option names the station's model
    StationKind namedAs = StationKind::Other;
    int probeTimeoutMs = 0;    // what a station without a recent answer is given

    // The answers so far; none until the question was answered.
    bool mayAsk = false;  // the caller may ask the station
    std::optional<StationKind> answersAs;  // Other: the station did not tell
    bool selectionOnly = false;            // with answersAs: it answered its selection only
    std::optional<std::optional<int>> answerTime;  // ms to answer a selection; none inside: no answer
};

// Either the hint, or the question to answer before asking again.
struct HintStep {
    Hint hint = Hint::StationRefused;
    HintQuestion ask = HintQuestion::None;
};

HintStep DecideHint(const HintFacts& facts);

// The facts every caller knows of a failed exchange: what was asked, what
// came of it, and the model the QEL holds for the station (known: the
// station is one the driver serves). The caller adds what only it knows.
HintFacts FactsOf(bool write, std::uint32_t area, std::uint16_t value, const Outcome& outcome, bool known,
                  const std::string& model);

}  // namespace qel::session
