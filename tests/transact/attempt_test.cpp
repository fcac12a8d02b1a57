// QEL_READ_ATTEMPT and QEL_WRITE_ATTEMPT through QelMain against the
// simulated controllers on a pseudo-terminal: one attempt's frames, the
// checksum trailer of a block, no pause and no retry, and Naks.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "frame_text.h"
#include "rig.h"

namespace e2e {
namespace {

struct Attempted {
    std::int32_t result;
    QelAttempt block;
};

Attempted Attempt(Rig& rig, std::int32_t operation, Gate& gate, std::int32_t timeoutMs = 0) {
    gate.transfer.gas = gate.gas.c_str();
    gate.transfer.values = gate.values.data();
    QelAttempt block{};
    block.transfer = &gate.transfer;
    block.timeoutMs = timeoutMs;
    const std::int32_t result = rig.Call(operation, &block);
    return {result, block};
}

std::string TrailerOf(const QelAttempt& block) {
    return {reinterpret_cast<const char*>(block.trailer), static_cast<std::size_t>(block.trailerLength)};
}

TEST(ReadAttempt, Fa3BlockOnceWithItsChecksumTrailer) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    rig.Sim().Set(kFa3, "DR", 10, 0x1234);
    rig.Sim().Set(kFa3, "DR", 11, 0x0001);
    Gate gate = rig.Define("002DR0010", DATA_TYPE_WORD, 2, true);
    rig.Forget();

    const Attempted got = Attempt(rig, QEL_READ_ATTEMPT, gate, 1);
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.block.failure, QEL_FAILURE_NONE);
    EXPECT_EQ(rig.Sent(), (Frames{f::Select(kFa3), f::ReadBlockFa3("44", 10, 4)}));
    EXPECT_EQ(gate.Slot(0), 0x1234);
    EXPECT_EQ(gate.Slot(1), 0x0001);
    // The checksum is the byte field of the digit sum of the data, then CR.
    const std::string data = f::WordLow(0x1234) + f::WordLow(0x0001);
    EXPECT_EQ(TrailerOf(got.block), f::Byte(f::Sum(data)) + "\r");
    EXPECT_TRUE(rig.Log().Lines().empty());
    EXPECT_EQ(rig.LastStation(), kFa3);
    EXPECT_EQ(rig.Workspace().readTimeout, 20) << "the workspace keeps its time-out";

    // The standard read after it: the same frames as ever, no selection.
    rig.Forget();
    EXPECT_EQ(rig.Read(gate), 0);
    EXPECT_EQ(rig.Sent(), (Frames{f::ReadBlockFa3("44", 10, 4)}));
}

TEST(ReadAttempt, Fa2ElementOnceWithoutTrailer) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    rig.Sim().Set(kFa2, "TM", 5, 0x0123);
    Gate gate = rig.Define("001TM0005", DATA_TYPE_WORD);
    rig.Forget();
    const Attempted got = Attempt(rig, QEL_READ_ATTEMPT, gate);
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.block.trailerLength, 0);
    EXPECT_EQ(rig.Sent(), (Frames{f::Select(kFa2), f::ReadElement('4', 5)}));
    EXPECT_EQ(gate.Slot(1), 0x0123);
}

TEST(ReadAttempt, SilentStationFailsOnceWithoutPauseOrRetry) {
    RigSetup setup;
    setup.stations = {{5, Model::FA2}};
    setup.modelFile = "";
    Rig rig(setup);
    ASSERT_TRUE(rig.Ready());
    rig.Sim().SetSilent(5, true);
    Gate gate = rig.Define("005DR0000", DATA_TYPE_WORD);
    rig.Forget();

    const auto start = std::chrono::steady_clock::now();
    const Attempted got = Attempt(rig, QEL_READ_ATTEMPT, gate, 50);
    const double elapsed = SecondsSince(start);
    EXPECT_EQ(got.result, 2);
    EXPECT_EQ(got.block.failure, QEL_FAILURE_NO_ANSWER);
    // Five attempts take over 2.4 s; one takes a purge and a 50 ms time-out.
    EXPECT_LT(elapsed, 1.0);
    EXPECT_EQ(rig.Sent(), Frames{f::Select(5)});
    EXPECT_TRUE(rig.Log().Lines().empty());
    EXPECT_EQ(rig.LastStation(), NO_STATION);
}

TEST(WriteAttempt, Fa3WriteOnceAndANakToIt) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define("002DR0010", DATA_TYPE_WORD);
    rig.Forget();
    gate.values[1] = 0x1234;
    Attempted got = Attempt(rig, QEL_WRITE_ATTEMPT, gate);
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(rig.Sent(), (Frames{f::Select(kFa3), f::WriteHeader('4', "44", 10, 2), f::WordData(0x1234)}));

    fasim::FaultSettings naks;
    naks.nakRate = 1.0;
    rig.Sim().SetFaults(naks);
    rig.Forget();
    got = Attempt(rig, QEL_WRITE_ATTEMPT, gate);
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.block.failure, QEL_FAILURE_NAK);
    EXPECT_EQ(rig.Sent(), (Frames{f::WriteHeader('4', "44", 10, 2)})) << Readable(rig.Sent());
    EXPECT_EQ(rig.LastStation(), NO_STATION);
}

}  // namespace
}  // namespace e2e
