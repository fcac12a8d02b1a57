// The one hint policy: each row a failed read or write, the station's answers
// when asked, the hint and the questions asked on the way; the same row
// without leave to ask gives the hint the outcome alone tells.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "session/diagnosis/hint_policy.h"
#include "vuzorur.h"

namespace {

using namespace qel::session;
using Q = HintQuestion;

constexpr Outcome kNak{DriverResult::Refused, FailureKind::Nak};
constexpr Outcome kShort{DriverResult::LineFailure, FailureKind::ShortAnswer};
constexpr Outcome kSilent{DriverResult::LineFailure, FailureKind::NoAnswer};
constexpr Outcome kPort{DriverResult::LineFailure, FailureKind::Port};
constexpr Outcome kDown{DriverResult::LineFailure, FailureKind::Down};
constexpr Outcome kNotSent{DriverResult::Refused, FailureKind::Refused};
constexpr Outcome kEcho{DriverResult::Refused, FailureKind::Echo};
constexpr Outcome kLoopRefused{DriverResult::Refused, FailureKind::None};  // the driver's own loop

struct Row {
    const char* what;
    bool write;
    std::uint32_t area;
    std::uint16_t value;
    Outcome outcome;
    bool named;
    StationKind namedAs;
    // The station's answers, when asked.
    StationKind answersAs;
    bool selectionOnly;
    std::optional<int> answerTime;
    // What the policy decides, and asks on the way.
    Hint hint;
    std::vector<Q> asked;
    Hint hintWithoutAsking;
};

constexpr auto FA2 = StationKind::FA2;
constexpr auto FA3 = StationKind::FA3;
constexpr auto Other = StationKind::Other;

const Row kRows[] = {
    {"preset above 9999", true, AREA_CP, 10000, kNotSent, true, FA2, Other, false, {}, Hint::PresetRange, {},
     Hint::PresetRange},
    {"write to a read-only area", true, AREA_TM, 5, kNotSent, true, FA2, Other, false, {}, Hint::ReadOnly, {},
     Hint::ReadOnly},
    {"FORCE 0 refused", true, AREA_FORCE, 0, kNotSent, true, FA3, Other, false, {}, Hint::ForceNotCleared, {},
     Hint::ForceNotCleared},
    {"FORCE 0 in the driver's loop", true, AREA_FORCE, 0, kLoopRefused, true, FA3, Other, false, {},
     Hint::ForceNotCleared, {}, Hint::ForceNotCleared},
    {"a held-down station", false, AREA_DR, 0, kDown, true, FA2, Other, false, {}, Hint::NoAnswer, {}, Hint::NoAnswer},
    {"a Nak from a station named as the other model", false, AREA_DR, 0, kNak, true, FA3, FA2, false, 12,
     Hint::NamedModelMismatch, {Q::AnswersAs}, Hint::StationRefused},
    {"a Nak from a station named rightly", false, AREA_DR, 0, kNak, true, FA2, FA2, false, 12, Hint::StationRefused,
     {Q::AnswersAs}, Hint::StationRefused},
    {"a short answer from a named FA-2 that is an FA-3", false, AREA_DR, 0, kShort, true, FA2, FA3, false, 12,
     Hint::NamedModelMismatch, {Q::AnswersAs}, Hint::NoAnswer},
    {"an echo that differs", false, AREA_DR, 0, kEcho, true, FA2, Other, false, {}, Hint::LineSettings, {},
     Hint::LineSettings},
    {"silence, and silence on a long wait", false, AREA_DR, 0, kSilent, true, FA2, Other, false, std::nullopt,
     Hint::NoAnswer, {Q::AnswerTime}, Hint::NoAnswer},
    {"silence, then an answer after 400 ms", false, AREA_DR, 0, kSilent, true, FA2, Other, false, 400,
     Hint::SlowAnswer, {Q::AnswerTime}, Hint::NoAnswer},
    {"silence, a quick answer, unnamed FA-3", false, AREA_DR, 0, kSilent, false, FA2, FA3, false, 20,
     Hint::TakenForFa2, {Q::AnswerTime, Q::AnswersAs}, Hint::NoAnswer},
    {"silence, a quick answer, selection only", false, AREA_DR, 0, kSilent, false, FA2, Other, true, 20,
     Hint::SelectionOnly, {Q::AnswerTime, Q::AnswersAs}, Hint::NoAnswer},
    {"the port failed: no long wait", false, AREA_DR, 0, kPort, true, FA2, Other, false, 20, Hint::NoAnswer, {},
     Hint::NoAnswer},
    {"a write nobody answered: no long wait", true, AREA_DR, 1, kSilent, true, FA2, Other, false, 20, Hint::NoAnswer,
     {}, Hint::NoAnswer},
    {"a write the driver's loop refused", true, AREA_DR, 1, kLoopRefused, true, FA2, FA2, false, 20,
     Hint::StationRefused, {Q::AnswersAs}, Hint::StationRefused},
};

HintFacts FactsOf(const Row& row, bool mayAsk) {
    HintFacts facts;
    facts.write = row.write;
    facts.area = row.area;
    facts.value = row.value;
    facts.outcome = row.outcome;
    facts.known = true;
    facts.named = row.named;
    facts.namedAs = row.namedAs;
    facts.probeTimeoutMs = 100;
    facts.mayAsk = mayAsk;
    return facts;
}

TEST(HintPolicy, EachFailureGetsItsHintAskingOnlyWhatItNeeds) {
    for (const Row& row : kRows) {
        HintFacts facts = FactsOf(row, true);
        std::vector<Q> asked;
        HintStep step = DecideHint(facts);
        for (int guard = 0; step.ask != Q::None && guard < 4; ++guard, step = DecideHint(facts)) {
            asked.push_back(step.ask);
            if (step.ask == Q::AnswersAs) {
                facts.answersAs = row.answersAs;
                facts.selectionOnly = row.selectionOnly;
            } else {
                facts.answerTime = row.answerTime;
            }
        }
        EXPECT_EQ(step.ask, Q::None) << row.what << ": the questions do not end";
        EXPECT_EQ(HintKey(step.hint), std::string(HintKey(row.hint))) << row.what;
        EXPECT_EQ(asked, row.asked) << row.what;
    }
}

TEST(HintPolicy, WithoutLeaveToAskTheOutcomeAloneDecides) {
    for (const Row& row : kRows) {
        const HintStep step = DecideHint(FactsOf(row, false));
        EXPECT_EQ(step.ask, Q::None) << row.what;
        EXPECT_EQ(HintKey(step.hint), std::string(HintKey(row.hintWithoutAsking))) << row.what;
    }
}

TEST(HintPolicy, TheModelAndTheReadFrameComeBeforeAnyQuestion) {
    HintFacts facts = FactsOf(kRows[5], true);
    facts.modelKnown = false;
    EXPECT_EQ(DecideHint(facts).hint, Hint::UnknownModel);
    EXPECT_EQ(DecideHint(facts).ask, Q::None);
    facts.modelKnown = true;
    facts.area = AREA_WO;
    facts.unservedRead = true;
    EXPECT_EQ(DecideHint(facts).hint, Hint::UnservedRead);
    EXPECT_EQ(DecideHint(facts).ask, Q::None);
    facts.known = false;  // a station number the driver does not serve: its model is not asked about
    facts.modelKnown = false;
    EXPECT_EQ(DecideHint(facts).hint, Hint::UnservedRead);
}

}  // namespace
