// GateRounds over the line scheduler on a fake line, planned by the driver's
// own checks: a group per period, only the groups due are read, a gate's
// quality (good, unverified, failed with its kind), ReadSoon, and which
// gates changed in a round.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "plan/scan_plan.h"
#include "session/gates/gate_rounds.h"
#include "session/line/line_scheduler.h"
#include "support/fake_line.h"
#include "support/plan_workspace.h"

namespace {

using namespace qel::session;
using namespace std::chrono_literals;
using testsupport::FakeLine;
using Act = FakeLine::Act;

SchedulerOptions FastOptions() {
    SchedulerOptions options;
    options.attempts = 2;
    options.retryPause = 1ms;
    options.firstProbe = 10s;  // no probe within a test
    return options;
}

std::vector<qel::common::TextLine> Lines(const std::vector<std::string>& texts) {
    std::vector<qel::common::TextLine> lines;
    for (std::size_t i = 0; i < texts.size(); ++i) lines.push_back({static_cast<unsigned>(i + 1), texts[i]});
    return lines;
}

// The gate list, a scheduler on a fake line and the rounds, ready to run.
class Rounds : public ::testing::Test {
protected:
    void SetUp() override { scheduler_.Start(); }
    void TearDown() override { scheduler_.Stop(); }

    bool Prepare(const std::vector<std::string>& texts, std::string& error,
                 const GateCheck& check = [](Gate&) { return true; },
                 const GateRounds::Accept& accept = [](std::size_t, const ListedGate&, std::string&) {
                     return true;
                 }) {
        GateListSource source;
        source.lines = Lines(texts);
        source.origin = "--publish";
        source.period = 2;
        return rounds_.Prepare(source, check, accept, planDriver_, qel::plan::PlanOptions{}, error);
    }

    void PrepareOrFail(const std::vector<std::string>& texts) {
        std::string error;
        ASSERT_TRUE(Prepare(texts, error)) << error;
    }

    std::size_t IndexOf(const std::string& gas) const {
        const auto& gates = rounds_.Gates();
        for (std::size_t i = 0; i < gates.size(); ++i)
            if (gates[i].gate.gas == gas) return i;
        ADD_FAILURE() << gas << " is not in the list";
        return 0;
    }

    // The gates the next round reads, as their addresses, sorted.
    std::set<std::string> RunDue() {
        std::vector<std::size_t> read;
        LineSnapshot snapshot;
        std::set<std::string> names;
        if (!rounds_.RunDue(read, snapshot)) return names;
        for (const std::size_t i : read) names.insert(rounds_.Gates()[i].gate.gas);
        EXPECT_EQ(names.size(), read.size()) << "a gate read twice in one round";
        return names;
    }

    const GateReading& Reading(const std::string& gas) const { return rounds_.Gates()[IndexOf(gas)]; }

    DriverWorkspace workspace_ = testsupport::PlanWorkspace();  // station 2 an FA-3
    qel::plan::Driver planDriver_ = qel::plan::DriverThrough(QelMain, &workspace_, 1);
    FakeLine line_;
    LineScheduler scheduler_{line_, FastOptions()};
    GateRounds rounds_{scheduler_, 7};
};

TEST_F(Rounds, EachPeriodIsAGroupOfItsOwn) {
    PrepareOrFail({"001DR0010 250ms", "001DR0011 250ms", "002DR0010 1s", "001DR0012", "002DR0011 1s", "001DR0013 5s"});
    std::vector<double> periods = rounds_.Periods();
    std::sort(periods.begin(), periods.end());
    EXPECT_EQ(periods, (std::vector<double>{0.25, 1, 2, 5}));  // 001DR0012 takes the list's period
    // Neighbours of different periods are never read in one exchange.
    EXPECT_GE(rounds_.Exchanges(), 4u);
    EXPECT_LE(rounds_.Exchanges(), 6u);
    EXPECT_EQ(rounds_.Origin(), "--publish");
}

TEST_F(Rounds, TheFirstRoundReadsEveryGateThenOnlyTheGroupsDue) {
    PrepareOrFail({"001DR0010 250ms", "001DR0011 250ms", "002DR0010 10s", "001DR0012"});
    const auto start = GateRounds::Clock::now();
    rounds_.Start(start);
    EXPECT_EQ(RunDue(), (std::set<std::string>{"001DR0010", "001DR0011", "002DR0010", "001DR0012"}));
    // Nothing is due right after a round; the shortest period is next.
    EXPECT_EQ(RunDue(), std::set<std::string>{});
    const auto next = rounds_.NextDue(start + 1h);
    EXPECT_GE(next, start + 250ms);
    EXPECT_LE(next, GateRounds::Clock::now() + 250ms);
    std::this_thread::sleep_until(next);
    EXPECT_EQ(RunDue(), (std::set<std::string>{"001DR0010", "001DR0011"}));
}

TEST_F(Rounds, ReadSoonReadsTheGroupOfThatGateWithTheNextRound) {
    PrepareOrFail({"001DR0010 10s", "001DR0011 10s", "002DR0010 20s"});
    rounds_.Start(GateRounds::Clock::now());
    ASSERT_EQ(RunDue().size(), 3u);
    rounds_.ReadSoon(IndexOf("002DR0010"));
    EXPECT_EQ(RunDue(), std::set<std::string>{"002DR0010"});
    rounds_.ReadSoon(IndexOf("001DR0011"));
    EXPECT_EQ(RunDue(), (std::set<std::string>{"001DR0010", "001DR0011"}));
    EXPECT_EQ(RunDue(), std::set<std::string>{});
}

TEST_F(Rounds, AGateChangesWhenItsValueOrItsQualityDoes) {
    PrepareOrFail({"001DR0010 10s", "001DR0020 3 10s", "002DR0010 10s"});
    rounds_.Start(GateRounds::Clock::now());
    RunDue();
    const std::size_t word = IndexOf("001DR0010"), block = IndexOf("001DR0020"), other = IndexOf("002DR0010");
    for (const std::size_t i : {word, block, other}) {
        const GateReading& r = rounds_.Gates()[i];
        EXPECT_TRUE(r.read) << r.gate.gas;
        EXPECT_TRUE(r.changed) << r.gate.gas << ": the first read is a change";
        EXPECT_EQ(r.quality, GateQuality::Good) << r.gate.gas;
        EXPECT_EQ(QualityKey(r), "good");
        EXPECT_GT(r.millis, 0);
        EXPECT_EQ(r.changedMillis, r.millis);
    }
    ASSERT_TRUE(Reading("001DR0020").lastGood);
    EXPECT_EQ(Reading("001DR0020").lastGood->size(), 3u);
    EXPECT_TRUE(Reading("001DR0020").block);
    EXPECT_FALSE(Reading("001DR0010").block);

    // The same values again: no change, the time of the read moves on.
    const std::int64_t firstChange = Reading("001DR0010").changedMillis;
    std::this_thread::sleep_for(5ms);
    rounds_.ReadSoon(word);
    RunDue();
    EXPECT_FALSE(Reading("001DR0010").changed);
    EXPECT_FALSE(Reading("001DR0020").changed);
    EXPECT_EQ(Reading("001DR0010").changedMillis, firstChange);
    EXPECT_GT(Reading("001DR0010").millis, firstChange);

    // Station 1 reads other values: its gates change, station 2's do not.
    line_.SetBase(1, 4000);
    rounds_.ReadSoon(word);
    RunDue();
    EXPECT_TRUE(Reading("001DR0010").changed);
    EXPECT_TRUE(Reading("001DR0020").changed);
    EXPECT_FALSE(Reading("002DR0010").changed);
    const std::vector<std::uint16_t> before = *Reading("001DR0010").lastGood;

    // Station 1 falls silent: a change of quality with the last good value kept.
    line_.Set(1, Act::Silent);
    rounds_.ReadSoon(word);
    RunDue();
    const GateReading& failed = Reading("001DR0010");
    EXPECT_TRUE(failed.changed);
    EXPECT_EQ(failed.quality, GateQuality::Failed);
    EXPECT_EQ(failed.failure, FailureKind::NoAnswer);
    EXPECT_EQ(QualityKey(failed), FailureKindKey(FailureKind::NoAnswer));
    ASSERT_TRUE(failed.lastGood);
    EXPECT_EQ(*failed.lastGood, before);

    // Failing again is no change.
    rounds_.ReadSoon(word);
    RunDue();
    EXPECT_FALSE(Reading("001DR0010").changed);
    EXPECT_EQ(Reading("001DR0010").quality, GateQuality::Failed);
}

TEST_F(Rounds, AFailedFirstReadHasNoValueAndIsAChange) {
    line_.Set(2, Act::Refuse);
    PrepareOrFail({"002DR0010"});
    rounds_.Start(GateRounds::Clock::now());
    RunDue();
    const GateReading& r = Reading("002DR0010");
    EXPECT_TRUE(r.read);
    EXPECT_TRUE(r.changed);
    EXPECT_FALSE(r.lastGood);
    EXPECT_EQ(r.quality, GateQuality::Failed);
    EXPECT_EQ(QualityKey(r), FailureKindKey(r.failure));
}

TEST_F(Rounds, ABlockOfAStationWhoseCheckIsUnverifiedIsUnverified) {
    line_.SetCheck(2, BlockCheck::Unverified);
    line_.SetCheck(1, BlockCheck::Checksum);
    PrepareOrFail({"002DR0100 10", "002DR0010 5s", "001DR0100 10"});
    rounds_.Start(GateRounds::Clock::now());
    RunDue();
    EXPECT_EQ(Reading("002DR0100").quality, GateQuality::Unverified);
    EXPECT_EQ(QualityKey(Reading("002DR0100")), "unverified");
    ASSERT_TRUE(Reading("002DR0100").lastGood);
    EXPECT_EQ(Reading("002DR0100").lastGood->size(), 10u);
    // A single word carries no block trailer to doubt.
    EXPECT_EQ(Reading("002DR0010").quality, GateQuality::Good);
    EXPECT_EQ(Reading("001DR0100").quality, GateQuality::Good);

    // The check learned after all: the same values are a change of quality.
    line_.SetCheck(2, BlockCheck::Checksum);
    rounds_.ReadSoon(IndexOf("002DR0100"));
    RunDue();
    EXPECT_EQ(Reading("002DR0100").quality, GateQuality::Good);
    EXPECT_TRUE(Reading("002DR0100").changed);
}

TEST_F(Rounds, AListThatCannotBeReadIsRefusedWithItsOrigin) {
    struct Case {
        const char* what;
        std::vector<std::string> lines;
        bool checkRefuses;
        bool acceptRefuses;
        const char* errorHas;
    } cases[] = {
        {"a gate the check refuses", {"001DR0010", "009DR0010"}, true, false, "009DR0010"},
        {"a gate the front-end refuses", {"001DR0010 tag=level"}, false, true, "a clash"},
        {"a malformed period", {"001DR0010 soon"}, false, false, "--publish:1"},
    };
    for (const Case& c : cases) {
        std::string error;
        const bool ok = Prepare(
            c.lines, error, [&c](Gate& g) { return !(c.checkRefuses && g.gas.rfind("009", 0) == 0); },
            [&c](std::size_t, const ListedGate&, std::string& why) {
                if (c.acceptRefuses) why = "a clash";
                return !c.acceptRefuses;
            });
        EXPECT_FALSE(ok) << c.what;
        EXPECT_NE(error.find(c.errorHas), std::string::npos) << c.what << ": " << error;
        if (c.checkRefuses) {
            EXPECT_EQ(error, "--publish:2: 009DR0010 is not a gate the driver accepts");
        }
    }
    // A check that words its refusals (as the programs make it): the words
    // stand at the gate's line.
    std::string error;
    const GateCheck worded([](Gate& g) { return g.gas.rfind("009", 0) != 0; },
                           [](const Gate& g) { return "gate " + g.gas + " is illegal: (legal: 0-399)"; });
    EXPECT_FALSE(Prepare({"001DR0010", "001DR0011", "009DR0010"}, error, worded));
    EXPECT_EQ(error, "--publish:3: gate 009DR0010 is illegal: (legal: 0-399)");
}

TEST_F(Rounds, ClearForgetsTheList) {
    PrepareOrFail({"001DR0010", "002DR0010 1s"});
    rounds_.Clear();
    EXPECT_TRUE(rounds_.Gates().empty());
    EXPECT_EQ(rounds_.Exchanges(), 0u);
    EXPECT_TRUE(rounds_.Periods().empty());
    rounds_.Start(GateRounds::Clock::now());
    EXPECT_EQ(RunDue(), std::set<std::string>{});
}

}  // namespace

// What a recording is handed: every element its round read well, numbered
// as a gate address writes it, with the value the round read; nothing of a
// read that failed.
TEST_F(Rounds, TheRoundsValuesGoToTheLinesObserverElementByElement) {
    std::vector<RoundValue> seen;
    int calls = 0;
    scheduler_.onRoundValues = [&](const std::vector<RoundValue>& values) {
        ++calls;
        seen = values;
    };
    PrepareOrFail({"001DR0010", "001DR0020 3", "002DR0010"});
    line_.Set(2, Act::Refuse);
    rounds_.Start(GateRounds::Clock::now());
    RunDue();
    EXPECT_EQ(calls, 1);
    std::vector<std::string> elements;
    for (const RoundValue& v : seen) {
        elements.push_back(std::to_string(v.station) + v.area + std::to_string(v.number));
        EXPECT_EQ(v.millis, Reading("001DR0010").millis);
    }
    std::sort(elements.begin(), elements.end());
    EXPECT_EQ(elements, (std::vector<std::string>{"1DR10", "1DR20", "1DR21", "1DR22"}));
    const std::vector<std::uint16_t>& block = *Reading("001DR0020").lastGood;
    for (const RoundValue& v : seen) {
        if (v.area == "DR" && v.number >= 20) {
            EXPECT_EQ(v.value, block[v.number - 20]) << v.number;
        }
    }
    // A round that reads nothing new still calls: the recording notes its end.
    rounds_.ReadSoon(IndexOf("001DR0010"));
    RunDue();
    EXPECT_EQ(calls, 2);
    scheduler_.onRoundValues = nullptr;
}
