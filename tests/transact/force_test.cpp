// Force mode end to end: the FORCE gate sets and clears the station's flag,
// forced bit writes while it is set, and ClearForce answered, refused or
// unanswered.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame_text.h"
#include "rig.h"

namespace e2e {
namespace {

TEST(ForceMode, WholeFlowOnAnFa3Station) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    fasim::Simulator& sim = rig.Sim();
    const std::uint8_t& flag = rig.Workspace().forceFlags[kFa3];
    Gate force = rig.Define("002force", DATA_TYPE_BIT);
    ASSERT_EQ(force.transfer.areaCode, static_cast<std::uint32_t>(AREA_FORCE));
    Gate io = rig.Define("002IO0010", DATA_TYPE_BIT);
    Gate ioHigh = rig.Define("002IO2000", DATA_TYPE_BIT);
    Gate ioGroup2 = rig.Define("002IO0200", DATA_TYPE_BIT);
    Gate ir = rig.Define("002IR0400", DATA_TYPE_BIT);
    Gate im = rig.Define("002IM0640", DATA_TYPE_BIT);
    Gate sr = rig.Define("002SR0005", DATA_TYPE_BIT);
    Gate dr = rig.Define("002DR0007", DATA_TYPE_WORD);

    // Writing 1 to the FORCE gate: only the selection goes out; the flag is set.
    EXPECT_EQ(rig.Write(force, 1), 0);
    EXPECT_EQ(rig.Sent(), Frames{f::Select(2)});
    EXPECT_EQ(flag, 1);
    EXPECT_FALSE(sim.ForceMode(kFa3)) << "nothing reached the controller";

    // Writing 1 again while the flag is 1, or 2: nothing at all.
    rig.Forget();
    EXPECT_EQ(rig.Write(force, 1), 0);
    EXPECT_EQ(rig.Write(force, 2), 0);
    EXPECT_TRUE(rig.Sent().empty());
    EXPECT_EQ(flag, 1);

    // IO and IR/IM bits go as ForceBit frames.
    rig.Forget();
    sim.Set(kFa3, "IR", 400, 1);
    EXPECT_EQ(rig.Write(io, 1), 0);
    EXPECT_EQ(rig.Write(ioHigh, 1), 0);
    EXPECT_EQ(rig.Write(ioGroup2, 9), 0);
    EXPECT_EQ(rig.Write(ir, 0), 0);
    EXPECT_EQ(rig.Write(im, 1), 0);
    const Frames forced{f::ForceBit("58", 8, true), "\\658008011<\r", f::ForceBit("59", 0, true),
                        "\\64=0000017\r", f::ForceBit("4=", 512, true)};
    Frames sent = rig.Sent();
    EXPECT_EQ(sent, forced) << Readable(sent);
    EXPECT_EQ(sim.Get(kFa3, "IO", 10), 1);
    EXPECT_EQ(sim.Get(kFa3, "IO", 2000), 1);
    EXPECT_EQ(sim.Get(kFa3, "IO", 200), 1);
    EXPECT_EQ(sim.Get(kFa3, "IR", 400), 0);
    EXPECT_EQ(sim.Get(kFa3, "IM", 640), 1);
    EXPECT_TRUE(sim.ForceMode(kFa3));

    // SR and the word areas are written as usual.
    rig.Forget();
    EXPECT_EQ(rig.Write(sr, 1), 0);
    EXPECT_EQ(rig.Write(dr, 4711), 0);
    sent = rig.Sent();
    EXPECT_EQ(sent, (Frames{f::WriteHeader('5', "52", 5, 1), "0101", f::WriteHeader('4', "44", 7, 2),
                            f::WordData(4711)}))
        << Readable(sent);
    EXPECT_EQ(sim.Get(kFa3, "SR", 5), 1);
    EXPECT_EQ(sim.Get(kFa3, "DR", 7), 4711);
    EXPECT_TRUE(rig.Log().Lines().empty());

    // Writing 0 to the FORCE gate: ClearForce, answered with its echo and an Ack.
    rig.Forget();
    EXPECT_EQ(rig.Write(force, 0), 0);
    EXPECT_EQ(rig.Sent(), Frames{f::ClearForce()});
    EXPECT_EQ(flag, 0);
    EXPECT_FALSE(sim.ForceMode(kFa3));

    // 0 again while the flag is 0, or 2: nothing.
    rig.Forget();
    EXPECT_EQ(rig.Write(force, 0), 0);
    EXPECT_EQ(rig.Write(force, 2), 0);
    EXPECT_TRUE(rig.Sent().empty());
    EXPECT_EQ(flag, 0);

    // Without the flag, IO goes through the usual header and data message.
    rig.Forget();
    EXPECT_EQ(rig.Write(io, 0), 0);
    EXPECT_EQ(rig.Sent(), (Frames{f::WriteHeader('5', "58", 8, 1), "0000"}));
    EXPECT_EQ(sim.Get(kFa3, "IO", 10), 0);
    EXPECT_TRUE(rig.Log().Lines().empty());
}

TEST(ForceMode, FlagStartsWhileAnotherStationIsSelected) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate fa2 = rig.Define("001DR0000", DATA_TYPE_WORD);
    Gate force = rig.Define("002FORCE", DATA_TYPE_BIT);
    ASSERT_EQ(rig.Read(fa2), 0);
    rig.Forget();
    EXPECT_EQ(rig.Write(force, 1), 0);
    EXPECT_EQ(rig.Sent(), Frames{f::Select(2)});
    EXPECT_EQ(rig.Workspace().forceFlags[kFa3], 1);
    EXPECT_EQ(rig.Workspace().forceFlags[kFa2], 0);
    EXPECT_EQ(rig.LastStation(), kFa3);
}

TEST(ForceMode, WarmStartForgetsTheFlagAndSendsNothing) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate force = rig.Define("002FORCE", DATA_TYPE_BIT);
    Gate io = rig.Define("002IO0010", DATA_TYPE_BIT);
    ASSERT_EQ(rig.Write(force, 1), 0);
    ASSERT_EQ(rig.Write(io, 1), 0);
    ASSERT_TRUE(rig.Sim().ForceMode(kFa3));

    rig.Forget();
    EXPECT_EQ(rig.WarmStart(), 0);
    EXPECT_TRUE(rig.Sent().empty());
    EXPECT_EQ(rig.Workspace().forceFlags[kFa3], 0);
    EXPECT_TRUE(rig.Sim().ForceMode(kFa3)) << "the controller stays in force mode";

    EXPECT_EQ(rig.Write(io, 0), 0);
    EXPECT_EQ(rig.Sent(), (Frames{f::Select(2), f::WriteHeader('5', "58", 8, 1), "0000"}));
    EXPECT_EQ(rig.Sim().Get(kFa3, "IO", 10), 0);
}

// An FA2 station's writes never look at the flag. Its FORCE gate does not pass
// the gate check, so the transfer is made by hand as a host could.
TEST(ForceMode, Fa2WritesIgnoreTheFlag) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate force = rig.Define("001IO0010", DATA_TYPE_BIT);
    force.gas = "001FORCE";
    force.transfer.areaCode = AREA_FORCE;
    Gate io = rig.Define("001IO0010", DATA_TYPE_BIT);

    EXPECT_EQ(rig.Write(force, 1), 0);
    EXPECT_EQ(rig.Sent(), Frames{f::Select(1)});
    EXPECT_EQ(rig.Workspace().forceFlags[kFa2], 1);

    rig.Forget();
    EXPECT_EQ(rig.Write(io, 1), 0);
    EXPECT_EQ(rig.Sent(), Frames{f::WriteBit('9', 8)});
    EXPECT_EQ(rig.Sim().Get(kFa2, "IO", 10), 1);
    EXPECT_TRUE(rig.Log().Lines().empty());
}

// ClearForce refused: the controller answers with a Nak. Station 3 is an FA2
// controller that the station model file names FA3, so the driver sends it
// ClearForce, which that controller does not know (Nak code '2'). Five
// attempts, each sending ClearForce again; the flag stays 1.
TEST(ForceClear, AnsweredWithANakFailsWithOneAfterFiveAttempts) {
    RigSetup setup;
    setup.stations = {{3, Model::FA2}};
    setup.modelFile = "003FA3\n";
    Rig rig(setup);
    ASSERT_TRUE(rig.Ready());
    Gate force = rig.Define("003force", DATA_TYPE_BIT);
    ASSERT_EQ(rig.Write(force, 1), 0);
    ASSERT_EQ(rig.Workspace().forceFlags[3], 1);

    rig.Forget();
    EXPECT_EQ(rig.Write(force, 0), 1);
    const Frames sent = rig.Sent();
    EXPECT_EQ(sent, Frames(5, f::ClearForce())) << Readable(sent);
    std::vector<LogLine> lines(5, ClearForceFailed());
    lines.push_back(WriteFailed("003FORCE", 1));
    EXPECT_EQ(rig.Log().Lines(), lines);
    EXPECT_EQ(rig.Workspace().forceFlags[3], 1);
    int naks = 0;
    for (const fasim::TraceRecord& record : rig.Trace()) {
        if (!record.fromMaster && record.bytes == "d200\r") ++naks;
    }
    EXPECT_EQ(naks, 5) << "each ClearForce was answered with a Nak";
}

// The same with Naks that the simulator injects: with this seed and rate its
// generator lets the selection through and refuses every ClearForce.
TEST(ForceClear, InjectedNaksFailWithOneAfterFiveAttempts) {
    RigSetup setup;
    setup.faults.seed = 584;
    setup.faults.nakRate = 0.9;
    Rig rig(setup);
    ASSERT_TRUE(rig.Ready());
    Gate force = rig.Define("002FORCE", DATA_TYPE_BIT);
    ASSERT_EQ(rig.Write(force, 1), 0);
    ASSERT_EQ(rig.Workspace().forceFlags[kFa3], 1);
    std::vector<fasim::TraceRecord> trace = rig.Trace();
    ASSERT_EQ(trace.size(), 2u);
    ASSERT_EQ(trace[1].bytes, "c00\r") << "the seed no longer lets the selection through";

    rig.Forget();
    EXPECT_EQ(rig.Write(force, 0), 1);
    const Frames sent = rig.Sent();
    EXPECT_EQ(sent, Frames(5, f::ClearForce())) << Readable(sent);
    std::vector<LogLine> lines(5, ClearForceFailed());
    lines.push_back(WriteFailed("002FORCE", 1));
    EXPECT_EQ(rig.Log().Lines(), lines);
    EXPECT_EQ(rig.Workspace().forceFlags[kFa3], 1);
    int injected = 0;
    for (const fasim::TraceRecord& record : rig.Trace()) {
        if (!record.fromMaster && record.note.find("nak-injected") != std::string::npos) ++injected;
    }
    EXPECT_EQ(injected, 5);
}

// The answer to ClearForce is judged by its Ack alone: a corrupted echo of
// the frame is still accepted. With this seed and rate the simulator's
// generator leaves the selection's echo intact and corrupts ClearForce's.
TEST(ForceClear, EchoIsNotCompared) {
    RigSetup setup;
    setup.faults.seed = 36;
    setup.faults.corruptRate = 0.3;
    setup.faults.faultReply = false;
    Rig rig(setup);
    ASSERT_TRUE(rig.Ready());
    Gate force = rig.Define("002FORCE", DATA_TYPE_BIT);
    ASSERT_EQ(rig.Write(force, 1), 0);
    for (const fasim::TraceRecord& record : rig.Trace()) {
        ASSERT_EQ(record.note.find("echo-faulted"), std::string::npos) << "the seed no longer spares the selection";
    }

    rig.Forget();
    EXPECT_EQ(rig.Write(force, 0), 0);
    EXPECT_EQ(rig.Workspace().forceFlags[kFa3], 0);
    EXPECT_EQ(rig.Sent(), Frames{f::ClearForce()});
    bool echoFaulted = false;
    for (const fasim::TraceRecord& record : rig.Trace()) {
        if (record.note.find("echo-faulted") != std::string::npos) echoFaulted = true;
    }
    EXPECT_TRUE(echoFaulted) << "the seed no longer corrupts the echo of ClearForce";
    EXPECT_TRUE(rig.Log().Lines().empty());
}

// No answer but the line echo: a short answer counts as a wrong one, so the
// result is 1, not 2.
TEST(ForceClear, UnansweredFailsWithOne) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate force = rig.Define("002FORCE", DATA_TYPE_BIT);
    ASSERT_EQ(rig.Write(force, 1), 0);
    rig.Sim().SetSilent(kFa3, true);

    rig.Forget();
    EXPECT_EQ(rig.Write(force, 0), 1);
    EXPECT_EQ(rig.Sent(), Frames(5, f::ClearForce()));
    std::vector<LogLine> lines(5, ClearForceFailed());
    lines.push_back(WriteFailed("002FORCE", 1));
    EXPECT_EQ(rig.Log().Lines(), lines);
    EXPECT_EQ(rig.Workspace().forceFlags[kFa3], 1);

    // Once the controller answers again, the next write selects it again and
    // its ClearForce clears the flag.
    rig.Sim().SetSilent(kFa3, false);
    rig.Forget();
    EXPECT_EQ(rig.Write(force, 0), 0);
    EXPECT_EQ(rig.Sent(), (Frames{f::Select(kFa3), f::ClearForce()}));
    EXPECT_EQ(rig.Workspace().forceFlags[kFa3], 0);
}

}  // namespace
}  // namespace e2e
