// Gates by name through the line scheduler on a fake line, checked by the
// driver on a session without a line: what each call amounts to (done, or
// which failure), that nothing refused before the line reaches it, and that
// a silent station is failed at once once it is held down. The words of the
// diagnoses are the diagnosis suites'.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "session/driver/driver_library.h"
#include "session/driver/qel_session.h"
#include "session/gates/gate_access.h"
#include "session/line/line_scheduler.h"
#include "support/fake_line.h"

namespace {

using namespace qel::session;
using namespace std::chrono_literals;
using testsupport::FakeLine;
using Act = FakeLine::Act;

class Access : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(driver_.Load(VUZORUR_PATH, error)) << error;
        checks_ = std::make_unique<QelSession>(driver_);
        LineOptions noLine;
        ASSERT_EQ(checks_->Init(noLine), DriverResult::Done);
        SchedulerOptions options;
        options.attempts = 2;
        options.retryPause = 1ms;
        options.firstProbe = 10s;  // held down for the whole test
        scheduler_ = std::make_unique<LineScheduler>(line_, options);
        scheduler_->Start();
        LineFacts facts;
        facts.port = "/tmp/fa0";
        access_ = std::make_unique<GateAccess>(*checks_, *scheduler_, facts, 1);
    }
    void TearDown() override {
        access_.reset();
        if (scheduler_) scheduler_->Stop();
        if (checks_) checks_->Close();
    }

    DriverLibrary driver_;
    std::unique_ptr<QelSession> checks_;
    FakeLine line_;
    std::unique_ptr<LineScheduler> scheduler_;
    std::unique_ptr<GateAccess> access_;
};

TEST_F(Access, ReadsAGateAndARunOfThem) {
    const GateResult one = access_->Read("001DR0010");
    ASSERT_TRUE(one.ok()) << GateFailureKey(one.failure);
    // (The fake line's values say nothing of where a real reply puts them.)
    EXPECT_EQ(one.values.size(), 1u);
    EXPECT_EQ(one.gas, "001DR0010");
    EXPECT_FALSE(one.bits);

    const GateResult run = access_->Read("001DR0010", 5);
    ASSERT_TRUE(run.ok()) << GateFailureKey(run.failure);
    EXPECT_EQ(run.count, 5);
    EXPECT_EQ(run.values.size(), 5u);

    const GateResult bits = access_->Read("001IO0005", 4);  // IO 5, 6, 7, 10
    ASSERT_TRUE(bits.ok()) << GateFailureKey(bits.failure);
    EXPECT_TRUE(bits.bits);
    EXPECT_EQ(bits.values.size(), 4u);
}

TEST_F(Access, WhatTheDriverRefusesNeverReachesTheLine) {
    struct Case {
        const char* gas;
        int count;
    } cases[] = {
        {"001DR9999", 1},    // outside the area on an FA-2
        {"001XX0010", 1},    // no such area
        {"1DR10", 1},        // not a gate address
        {"001DR0398", 10},   // a run that leaves the area
        {"001DR0010", 0},    // no elements
    };
    for (const Case& c : cases) {
        const GateResult r = access_->Read(c.gas, c.count);
        EXPECT_EQ(r.failure, GateFailure::BadGate) << c.gas << " " << c.count;
        EXPECT_TRUE(r.gate.has_value() || !r.reason.empty()) << c.gas << ": a BadGate says why";
        EXPECT_FALSE(r.line.has_value()) << c.gas;
    }
    EXPECT_TRUE(line_.Log().empty()) << ::testing::PrintToString(line_.Log());
}

TEST_F(Access, AWriteIsCheckedBeforeTheLine) {
    std::string error;
    WriteAllowList allow;
    ASSERT_TRUE(allow.Load({{1, "001DR0020"}, {2, "001IO0005"}}, "--write-allow",
                           [this](Gate& g) { return !access_->Check(g).has_value(); }, error))
        << error;
    struct Case {
        const char* gas;
        long long value;
        bool useAllow;
        GateFailure want;
    } cases[] = {
        {"001DR0020", 70000, false, GateFailure::BadValue},
        {"001DR0020", -1, false, GateFailure::BadValue},
        {"001IO0005", 2, false, GateFailure::BadValue},
        {"001DR0021", 5, true, GateFailure::NotAllowed},
        {"001DR9999", 5, false, GateFailure::BadGate},
    };
    for (const Case& c : cases) {
        const GateResult r = access_->Write(c.gas, c.value, c.useAllow ? &allow : nullptr);
        EXPECT_EQ(r.failure, c.want) << c.gas << " " << c.value;
        if (c.want == GateFailure::BadValue || c.want == GateFailure::NotAllowed) {
            EXPECT_FALSE(r.reason.empty()) << c.gas;
        }
    }
    EXPECT_TRUE(line_.Log().empty()) << ::testing::PrintToString(line_.Log());

    EXPECT_TRUE(access_->Write("001DR0020", 65535, &allow).ok());
    EXPECT_TRUE(access_->Write("001IO0005", 1, &allow).ok());
    const auto written = line_.Written();
    ASSERT_EQ(written.count("001DR0020"), 1u);
    EXPECT_EQ(written.at("001DR0020"), 65535);
    EXPECT_EQ(written.count("001IO0005"), 1u);
}

TEST_F(Access, FailuresOnTheLineAreTold) {
    struct Case {
        const char* what;
        unsigned station;
        Act act;
        GateFailure want;
    } cases[] = {
        {"a Nak every time", 4, Act::Nak, GateFailure::LineError},
        {"the port", 6, Act::Port, GateFailure::LineError},
        {"silent", 3, Act::Silent, GateFailure::NoAnswer},
    };
    for (const Case& c : cases) {
        line_.Set(c.station, c.act);
        const std::string gas = "00" + std::to_string(c.station) + "DR0010";
        const GateResult r = access_->Read(gas);
        EXPECT_EQ(r.failure, c.want) << c.what;
        EXPECT_TRUE(r.line.has_value()) << c.what << ": a failure on the line has its diagnosis";
        EXPECT_EQ(FailureOf(*r.line), c.want) << c.what;
        EXPECT_TRUE(r.values.empty()) << c.what;
    }
    // Station 3 is held down now: failed at once, nothing sent.
    const int attempts = line_.Attempts(3);
    const GateResult down = access_->Read("003DR0010");
    EXPECT_EQ(down.failure, GateFailure::StationDown);
    EXPECT_EQ(line_.Attempts(3), attempts);
    EXPECT_EQ(access_->Write("003DR0010", 1).failure, GateFailure::StationDown);
    // Another station is served all the same.
    EXPECT_TRUE(access_->Read("001DR0010").ok());
}

TEST_F(Access, ReadManyGivesOneResultPerGateInOrder) {
    line_.Set(3, Act::Silent);
    std::vector<Gate> gates(4);
    gates[0].gas = "001DR0010";
    gates[1].gas = "003DR0010";
    gates[2].gas = "001DR0011";
    gates[3].gas = "002DR0100";
    gates[3].count = 3;
    for (Gate& g : gates) ASSERT_FALSE(access_->Check(g).has_value()) << g.gas;
    const std::vector<GateResult> results = access_->ReadMany(gates);
    ASSERT_EQ(results.size(), 4u);
    EXPECT_TRUE(results[0].ok());
    EXPECT_EQ(results[0].values.size(), 1u);
    EXPECT_EQ(results[1].failure, GateFailure::NoAnswer);
    EXPECT_TRUE(results[2].ok());
    ASSERT_EQ(results[2].values.size(), 1u);
    EXPECT_TRUE(results[3].ok());
    EXPECT_EQ(results[3].values.size(), 3u);
    for (std::size_t i = 0; i < gates.size(); ++i) EXPECT_EQ(results[i].gas, gates[i].gas) << i;
}

TEST(GateFailureKey, NamesEachFailure) {
    const std::pair<GateFailure, const char*> cases[] = {
        {GateFailure::None, ""},
        {GateFailure::BadGate, "bad_gate"},
        {GateFailure::BadValue, "bad_value"},
        {GateFailure::NotAllowed, "not_allowed"},
        {GateFailure::StationDown, "station_down"},
        {GateFailure::NoAnswer, "no_answer"},
        {GateFailure::LineError, "line_error"},
    };
    for (const auto& [failure, key] : cases) EXPECT_STREQ(GateFailureKey(failure), key);
}

}  // namespace
