#include "session/diagnosis/hint_policy.h"

#include "vuzorur.h"

namespace qel::session {

HintFacts FactsOf(bool write, std::uint32_t area, std::uint16_t value, const Outcome& outcome, bool known,
                  const std::string& model) {
    HintFacts facts;
    facts.write = write;
    facts.area = area;
    facts.value = value;
    facts.outcome = outcome;
    facts.known = known;
    facts.modelKnown = IsKnownModel(model);
    facts.namedAs = StationKindOf(model);
    return facts;
}

HintStep DecideHint(const HintFacts& f) {
    const auto is = [](Hint hint) { return HintStep{hint, HintQuestion::None}; };
    const auto ask = [](HintQuestion question) { return HintStep{Hint::StationRefused, question}; };
    const FailureKind failure = f.outcome.failure;
    const DriverResult result = f.outcome.result;
    // The station answered, and what it answered refused the frame (a write
    // through the driver's own loop, which does not say, counts as one).
    const bool stationRefused = failure == FailureKind::Nak || failure == FailureKind::Malformed ||
                                (f.write && failure == FailureKind::None && result == DriverResult::Refused);
    // The station answered, if only in part: a station that takes the other
    // model's frames for none of its own may answer with less than a reply.
    const bool stationAnswered = stationRefused || failure == FailureKind::ShortAnswer;

    // Held down: nothing was sent this time, the station did not answer before.
    if (failure == FailureKind::Down) return is(Hint::NoAnswer);
    if (f.write && result == DriverResult::Refused && f.area == AREA_FORCE && f.value == 0 &&
        (failure == FailureKind::Refused || failure == FailureKind::None))
        return is(Hint::ForceNotCleared);
    if (f.write && failure == FailureKind::Refused) {
        // Refused before anything was sent.
        const bool preset = (f.area == AREA_CP || f.area == AREA_TP) && f.value > 9999;
        return is(preset ? Hint::PresetRange : Hint::ReadOnly);
    }
    if (f.known && !f.modelKnown) return is(Hint::UnknownModel);
    if (!f.write && f.unservedRead) return is(Hint::UnservedRead);
    if (stationAnswered && f.named && f.mayAsk) {
        if (!f.answersAs) return ask(HintQuestion::AnswersAs);
        if (*f.answersAs != StationKind::Other && *f.answersAs != f.namedAs) return is(Hint::NamedModelMismatch);
    }
    if (result == DriverResult::Refused && !stationRefused) return is(Hint::LineSettings);
    if (!f.write && result == DriverResult::LineFailure && failure != FailureKind::Port && f.mayAsk) {
        // Nothing, or not all, came back in the time the read gave it (an
        // answer too late for one attempt may garble the next): is the
        // station merely slow to turn round?
        if (!f.answerTime) return ask(HintQuestion::AnswerTime);
        if (!*f.answerTime) return is(Hint::NoAnswer);
        if (**f.answerTime > f.probeTimeoutMs) return is(Hint::SlowAnswer);
    }
    if (f.known && f.namedAs == StationKind::FA2 && !f.named && f.mayAsk) {
        // The station is an FA-2 only because nothing names it: ask it.
        if (!f.answersAs) return ask(HintQuestion::AnswersAs);
        if (*f.answersAs == StationKind::FA3) return is(Hint::TakenForFa2);
        if (f.selectionOnly) return is(Hint::SelectionOnly);
    }
    if (result == DriverResult::LineFailure) return is(Hint::NoAnswer);
    return is(Hint::StationRefused);
}

}  // namespace qel::session
