// Failing exchanges end to end: a silent station, a closed port, faults that
// the simulator injects on the line, and the transfers the driver refuses
// before any traffic (station out of the table, oversized blocks, FA3 word
// outputs), with the gate address text handled safely in every message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "frame_text.h"
#include "rig.h"
#include "support/case_name.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

std::string Upper19(const std::string& gas) {
    std::string upper = gas.substr(0, 19);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

bool AnyRetryLine(const std::vector<LogLine>& lines) {
    return std::any_of(lines.begin(), lines.end(),
                       [](const LogLine& l) { return l.text.find("Read Retry") != std::string::npos; });
}

// ---------------------------------------------------------------------------
// A silent station: the selection is echoed by the line but never answered.

TEST(SilentStation, FiveAttemptsFourRetriesThenResultTwo) {
    RigSetup setup;
    setup.stations = {{5, Model::FA2}};
    setup.modelFile = "";
    setup.readTimeout = 20;  // 200 ms
    Rig rig(setup);
    ASSERT_TRUE(rig.Ready());
    rig.Sim().SetSilent(5, true);
    rig.Sim().Set(5, "DR", 0, 0x0F0F);
    Gate gate = rig.Define("005dr0000", DATA_TYPE_WORD);

    const auto start = Clock::now();
    EXPECT_EQ(rig.Read(gate), 2);
    const double elapsed = SecondsSince(start);
    // Four pauses of 600 ms, and one read time-out in each of five attempts.
    EXPECT_GE(elapsed, 2.4);
    EXPECT_LE(elapsed, 2.4 + 5 * 0.2 + 3.0);

    const std::vector<LogLine> lines{ReadRetry("005DR0000", 1), ReadRetry("005DR0000", 2),
                                     ReadRetry("005DR0000", 3), ReadRetry("005DR0000", 4),
                                     ReadFailed("005dr0000", 2)};
    EXPECT_EQ(rig.Log().Lines(), lines);
    const Frames sent = rig.Sent();
    EXPECT_EQ(sent, Frames(5, f::Select(5))) << Readable(sent);
    EXPECT_EQ(gate.Slot(0), kUntouched);
    EXPECT_EQ(gate.Slot(1), kUntouched);
    EXPECT_EQ(rig.LastStation(), NO_STATION);

    // The station comes back: the very next read selects it and succeeds.
    rig.Sim().SetSilent(5, false);
    rig.Forget();
    EXPECT_EQ(rig.Read(gate), 0);
    EXPECT_EQ(gate.Slot(1), 0x0F0F);
    EXPECT_EQ(rig.Sent(), (Frames{f::Select(5), f::ReadElement('7', 0)}));
    EXPECT_EQ(rig.LastStation(), 5);
}

// A write to a silent station: five selections, no retry message, result 2.
TEST(SilentStation, WriteFailsWithTwoAndLogsOnce) {
    RigSetup setup;
    setup.stations = {{7, Model::FA3}};
    setup.modelFile = "007FA3\n";
    Rig rig(setup);
    ASSERT_TRUE(rig.Ready());
    rig.Sim().SetSilent(7, true);
    Gate gate = rig.Define("007dr0001", DATA_TYPE_WORD);

    const auto start = Clock::now();
    EXPECT_EQ(rig.Write(gate, 1234), 2);
    EXPECT_GE(SecondsSince(start), 2.4);
    EXPECT_LE(SecondsSince(start), 2.4 + 5 * 0.2 + 3.0);
    EXPECT_EQ(rig.Log().Lines(), std::vector<LogLine>{WriteFailed("007DR0001", 2)});
    EXPECT_EQ(rig.Sent(), Frames(5, f::Select(7)));
    EXPECT_EQ(rig.Sim().Get(7, "DR", 1), 0);
    EXPECT_EQ(rig.LastStation(), NO_STATION);
}

// ---------------------------------------------------------------------------
// A closed port: every attempt fails at once with 2, nothing reaches the line.
// The messages carry the gate address safely whatever its text.

struct ClosedPortCase {
    const char* name;
    bool write;
    bool nullGas;
    const char* gas;
};

class ClosedPortTest : public ::testing::TestWithParam<ClosedPortCase> {};

TEST_P(ClosedPortTest, FailsWithTwoAndLogsTheAddressLiterally) {
    const ClosedPortCase& row = GetParam();
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define("001DR0010", DATA_TYPE_WORD);
    gate.gas = row.gas;
    gate.nullGas = row.nullGas;
    ASSERT_EQ(rig.ClosePort(), 0);
    rig.Forget();

    const std::string passed = row.nullGas ? "" : row.gas;
    const std::string upper = Upper19(passed);
    const auto start = Clock::now();
    if (row.write) {
        EXPECT_EQ(rig.Write(gate, 7), 2);
        EXPECT_EQ(rig.Log().Lines(), std::vector<LogLine>{WriteFailed(upper, 2)});
    } else {
        EXPECT_EQ(rig.Read(gate), 2);
        const std::vector<LogLine> lines{ReadRetry(upper, 1), ReadRetry(upper, 2), ReadRetry(upper, 3),
                                         ReadRetry(upper, 4), ReadFailed(passed, 2)};
        EXPECT_EQ(rig.Log().Lines(), lines);
        EXPECT_EQ(gate.Slot(1), kUntouched);
    }
    EXPECT_GE(SecondsSince(start), 2.4);
    EXPECT_LE(SecondsSince(start), 2.4 + 3.0);
    EXPECT_TRUE(rig.Sent().empty());
    EXPECT_EQ(rig.LastStation(), NO_STATION);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, ClosedPortTest,
    ::testing::Values(ClosedPortCase{"ReadLongAddress", false, false, "001dr0010-a-much-longer-gate-address"},
                      ClosedPortCase{"ReadFormatAddress", false, false, "%s%s%n%d"},
                      ClosedPortCase{"ReadNullAddress", false, true, ""},
                      ClosedPortCase{"WriteLongAddress", true, false, "001dr0010-a-much-longer-gate-address"},
                      ClosedPortCase{"WriteFormatAddress", true, false, "%s%n%x%p"}),
    testsupport::CaseName<ClosedPortCase>);

// ---------------------------------------------------------------------------
// Faults on the line, from fixed seeds. Every read ends in 0, 1 or 2 within
// bounded time; a read that reports 0 from an FA2 element reply carries the
// controller's value (the reply checksum catches a corrupted character); a
// failed read leaves the host's array alone; a write that reports 0 reached
// the controller's memory.

struct FaultCase {
    const char* name;
    fasim::FaultSettings faults;
    const char* note;  // what the simulator's trace marks the fault with
};

fasim::FaultSettings Faults(std::uint64_t seed) {
    fasim::FaultSettings faults;
    faults.seed = seed;
    return faults;
}

std::vector<FaultCase> FaultCases() {
    std::vector<FaultCase> cases;
    {
        fasim::FaultSettings x = Faults(11);
        x.corruptRate = 0.02;
        x.faultReply = false;
        cases.push_back({"CorruptedEcho", x, "echo-faulted"});
    }
    {
        fasim::FaultSettings x = Faults(25);
        x.corruptRate = 0.03;
        x.faultEcho = false;
        cases.push_back({"CorruptedReply", x, "faulted"});
    }
    {
        fasim::FaultSettings x = Faults(13);
        x.nakRate = 0.1;
        cases.push_back({"NakOnRequest", x, "nak-injected"});
    }
    {
        fasim::FaultSettings x = Faults(14);
        x.lateRate = 0.1;
        x.lateMs = 450;  // the read time-out is 200 ms
        cases.push_back({"LateReply", x, "late"});
    }
    {
        fasim::FaultSettings x = Faults(15);
        x.dropRate = 0.003;
        x.insertRate = 0.003;
        x.corruptRate = 0.004;
        cases.push_back({"DroppedInsertedCorrupted", x, "faulted"});
    }
    return cases;
}

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

int CountNotes(Rig& rig, const std::string& note) {
    int count = 0;
    for (const fasim::TraceRecord& record : rig.Trace()) {
        if (record.note.find(note) != std::string::npos) ++count;
    }
    return count;
}

TEST_P(FaultTest, Fa2ElementReadsNeverStoreAWrongValue) {
    const FaultCase& row = GetParam();
    RigSetup setup;
    setup.faults = row.faults;
    Rig rig(setup);
    ASSERT_TRUE(rig.Ready());

    struct Target {
        Gate gate;
        std::uint16_t value;
    };
    std::vector<Target> targets;
    for (unsigned i = 0; i < 4; ++i) {
        const std::uint16_t value = static_cast<std::uint16_t>(0x1234u + i * 0x2111u);
        ASSERT_TRUE(rig.Sim().Set(kFa2, "DR", 10 + i, value));
        targets.push_back({rig.Define("001DR001" + std::to_string(i), DATA_TYPE_WORD), value});
    }
    ASSERT_TRUE(rig.Sim().Set(kFa2, "TM", 3, 0x0123));
    targets.push_back({rig.Define("001TM0003", DATA_TYPE_WORD), 0x0123});
    ASSERT_TRUE(rig.Sim().Set(kFa2, "CP", 7, 4321));
    targets.push_back({rig.Define("001CP0007", DATA_TYPE_WORD), 4321});

    int results[3] = {0, 0, 0};
    for (int i = 0; i < 30; ++i) {
        Target& target = targets[static_cast<std::size_t>(i) % targets.size()];
        target.gate.ResetSlots();
        const auto start = Clock::now();
        const std::int32_t rc = rig.Read(target.gate);
        EXPECT_LT(SecondsSince(start), 10.0) << "read " << i;
        ASSERT_TRUE(rc == 0 || rc == 1 || rc == 2) << "read " << i << " gave " << rc;
        ++results[rc];
        if (rc == 0) {
            EXPECT_EQ(target.gate.Slot(1), target.value) << "read " << i << " of " << target.gate.gas;
        } else {
            EXPECT_EQ(target.gate.Slot(1), kUntouched) << "read " << i << " failed but wrote the array";
        }
        EXPECT_EQ(target.gate.Slot(0), kUntouched);
    }
    EXPECT_GT(results[0], 0) << "no read got through";
    EXPECT_GT(CountNotes(rig, row.note), 0) << "the fault never happened";
    const auto lines = rig.Log().Lines();
    const auto retries = std::count_if(lines.begin(), lines.end(), [](const LogLine& l) {
        return l.text.find("Read Retry") != std::string::npos;
    });
    std::printf("[   INFO   ] %s: %d read, %d refused (1), %d unanswered (2), %d retries\n", row.name, results[0],
                results[1], results[2], static_cast<int>(retries));
}

TEST_P(FaultTest, WritesThatSucceedReachTheController) {
    const FaultCase& row = GetParam();
    RigSetup setup;
    setup.faults = row.faults;
    Rig rig(setup);
    ASSERT_TRUE(rig.Ready());

    int results[3] = {0, 0, 0};
    for (int i = 0; i < 8; ++i) {
        const int station = i % 2 == 0 ? kFa2 : kFa3;
        const unsigned element = 20u + static_cast<unsigned>(i);
        const std::string gas = "00" + std::to_string(station) + "DR00" + std::to_string(element);
        Gate gate = rig.Define(gas, DATA_TYPE_WORD);
        const std::uint16_t value = static_cast<std::uint16_t>(0x0101u * static_cast<unsigned>(i + 1));
        const auto start = Clock::now();
        const std::int32_t rc = rig.Write(gate, value);
        EXPECT_LT(SecondsSince(start), 10.0) << "write " << i;
        ASSERT_TRUE(rc == 0 || rc == 1 || rc == 2) << "write " << i << " gave " << rc;
        ++results[rc];
        if (rc == 0) {
            EXPECT_EQ(rig.Sim().Get(station, "DR", element), value) << gas;
        }
    }
    EXPECT_GT(results[0], 0) << "no write got through";
    EXPECT_GT(CountNotes(rig, row.note), 0) << "the fault never happened";
    std::printf("[   INFO   ] %s: %d written, %d refused (1), %d unanswered (2), %d faults\n", row.name, results[0],
                results[1], results[2], CountNotes(rig, row.note));
}

// FA3 block data carries no checksum the driver looks at, so only the
// results are checked here: 0, 1 or 2, never a hang.
TEST_P(FaultTest, Fa3BlockReadsEndWithAResult) {
    const FaultCase& row = GetParam();
    RigSetup setup;
    setup.faults = row.faults;
    Rig rig(setup);
    ASSERT_TRUE(rig.Ready());
    Gate words = rig.Define("002DR0100", DATA_TYPE_WORD, 8);
    Gate bits = rig.Define("002IO0000", DATA_TYPE_BIT, 16);
    for (int i = 0; i < 6; ++i) {
        Gate& gate = i % 2 == 0 ? words : bits;
        const auto start = Clock::now();
        const std::int32_t rc = rig.Read(gate);
        EXPECT_LT(SecondsSince(start), 10.0) << "read " << i;
        EXPECT_TRUE(rc == 0 || rc == 1 || rc == 2) << "read " << i << " gave " << rc;
    }
    EXPECT_GT(CountNotes(rig, row.note), 0) << "the fault never happened";
}

INSTANTIATE_TEST_SUITE_P(Seeded, FaultTest, ::testing::ValuesIn(FaultCases()), testsupport::CaseName<FaultCase>);

// ---------------------------------------------------------------------------
// Faults on every byte or frame: the result code and the messages tell which.

struct SteadyFaultCase {
    const char* name;
    fasim::FaultSettings faults;
    std::int32_t result;
    bool nakMessage;  // the Nak is logged at each attempt
};

fasim::FaultSettings Steady(double corruptEcho, double nak, double late) {
    fasim::FaultSettings faults;
    faults.seed = 7;
    faults.corruptRate = corruptEcho;
    faults.faultReply = false;
    faults.nakRate = nak;
    faults.lateRate = late;
    faults.lateMs = 450;
    return faults;
}

class SteadyFaultTest : public ::testing::TestWithParam<SteadyFaultCase> {};

TEST_P(SteadyFaultTest, EveryAttemptFailsTheSameWay) {
    const SteadyFaultCase& row = GetParam();
    RigSetup setup;
    setup.faults = row.faults;
    Rig rig(setup);
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define("001dr0001", DATA_TYPE_WORD);

    EXPECT_EQ(rig.Read(gate), row.result);
    EXPECT_EQ(gate.Slot(1), kUntouched);
    // The selection is never acknowledged in time, so every attempt makes it again.
    const Frames sent = rig.Sent();
    EXPECT_EQ(sent, Frames(5, f::Select(1))) << Readable(sent);
    std::vector<LogLine> lines;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (attempt > 0) lines.push_back(ReadRetry("001DR0001", attempt));
        if (row.nakMessage) lines.push_back(NakReceived('7'));
    }
    lines.push_back(ReadFailed("001dr0001", row.result));
    EXPECT_EQ(rig.Log().Lines(), lines);
    EXPECT_EQ(rig.LastStation(), NO_STATION);
}

INSTANTIATE_TEST_SUITE_P(Faults, SteadyFaultTest,
                         ::testing::Values(SteadyFaultCase{"EchoAlwaysCorrupted", Steady(1.0, 0, 0), 1, false},
                                           SteadyFaultCase{"AlwaysNak", Steady(0, 1.0, 0), 1, true},
                                           SteadyFaultCase{"AlwaysLate", Steady(0, 0, 1.0), 2, false}),
                         testsupport::CaseName<SteadyFaultCase>);

// ---------------------------------------------------------------------------
// Transfers refused before any traffic.

struct StationCase {
    const char* name;
    bool write;
    std::uint32_t station;
};

class StationOutOfTableTest : public ::testing::TestWithParam<StationCase> {};

TEST_P(StationOutOfTableTest, RefusedWithOneAndNothingSent) {
    const StationCase& row = GetParam();
    RigSetup setup;
    setup.stations = {{0, Model::FA2}, {1, Model::FA2}, {44, Model::FA2}};
    setup.modelFile = "";
    Rig rig(setup);
    ASSERT_TRUE(rig.Ready());
    Gate selected = rig.Define("001DR0000", DATA_TYPE_WORD);
    ASSERT_EQ(rig.Read(selected), 0);
    rig.Forget();

    Gate gate = rig.Define("000DR0005", DATA_TYPE_WORD);
    gate.transfer.station = row.station;
    const std::int32_t rc = row.write ? rig.Write(gate, 9) : rig.Read(gate);
    EXPECT_EQ(rc, 1);
    EXPECT_TRUE(rig.Sent().empty()) << Readable(rig.Sent());
    EXPECT_EQ(rig.LastStation(), kFa2);
    EXPECT_FALSE(AnyRetryLine(rig.Log().Lines()));
    EXPECT_LE(rig.Log().Lines().size(), 1u);
    EXPECT_EQ(gate.Slot(1), row.write ? 9 : kUntouched);
    EXPECT_EQ(rig.Sim().Get(0, "DR", 5), 0);
    EXPECT_EQ(rig.Sim().Get(44, "DR", 5), 0);

    // The selection is still the one before.
    rig.Forget();
    EXPECT_EQ(rig.Read(selected), 0);
    EXPECT_EQ(rig.Sent(), Frames{f::ReadElement('7', 0)});
}

INSTANTIATE_TEST_SUITE_P(Stations, StationOutOfTableTest,
                         ::testing::Values(StationCase{"Read256", false, 256}, StationCase{"Read300", false, 300},
                                           StationCase{"ReadHuge", false, 0xFFFFFFFFu},
                                           StationCase{"Write256", true, 256}, StationCase{"Write300", true, 300},
                                           StationCase{"WriteHuge", true, 0x8000002Cu}),
                         testsupport::CaseName<StationCase>);

TEST(RefusedRead, CountAboveOneHundred) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    for (const int station : {kFa2, kFa3}) {
        Gate gate = rig.Define("00" + std::to_string(station) + "DR0000", DATA_TYPE_WORD, 100);
        for (const std::int32_t count : {101, 200, 450, 1000}) {
            rig.Forget();
            gate.transfer.count = count;
            gate.values.assign(static_cast<std::size_t>(count) + 4, kUntouched);
            EXPECT_EQ(rig.Read(gate), 1) << station << " " << count;
            EXPECT_TRUE(rig.Sent().empty()) << station << " " << count;
            EXPECT_FALSE(AnyRetryLine(rig.Log().Lines()));
            EXPECT_TRUE(std::all_of(gate.values.begin(), gate.values.end(),
                                    [](std::uint16_t v) { return v == kUntouched; }));
            EXPECT_EQ(rig.LastStation(), NO_STATION);
        }
    }
}

TEST(RefusedRead, Fa3WordOutputs) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    for (const std::int32_t count : {1, 10, 100}) {
        rig.Forget();
        Gate gate = rig.Define("002WO0010", DATA_TYPE_WORD, count, true);
        ASSERT_EQ(gate.checkResult, 0);
        ASSERT_EQ(gate.transfer.areaCode, static_cast<std::uint32_t>(AREA_WO));
        EXPECT_EQ(rig.Read(gate), 1) << count;
        EXPECT_TRUE(rig.Sent().empty()) << count;
        EXPECT_FALSE(AnyRetryLine(rig.Log().Lines()));
        EXPECT_EQ(gate.Slot(1), kUntouched);
        EXPECT_EQ(rig.LastStation(), NO_STATION);
    }
}

// ---------------------------------------------------------------------------
// A write with a count above 1: one value, and the header announces exactly it.

struct MultiWriteCase {
    const char* name;
    int station;
    const char* gas;
    std::int32_t dataType;
    std::int32_t count;
    std::uint16_t value;
    const char* area;
    unsigned number;  // the gate's element as written
    unsigned next;    // the element after it, as written
    std::uint16_t after;
    Frames frames;
};

class MultiWriteTest : public ::testing::TestWithParam<MultiWriteCase> {};

TEST_P(MultiWriteTest, SendsOneValueAndAnnouncesOne) {
    const MultiWriteCase& row = GetParam();
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define(row.gas, row.dataType, row.count, true);
    ASSERT_EQ(gate.checkResult, 0);
    for (std::size_t i = 0; i < gate.values.size(); ++i) gate.values[i] = static_cast<std::uint16_t>(i + 1);
    ASSERT_TRUE(rig.Sim().Set(row.station, row.area, row.next, row.dataType == DATA_TYPE_BIT ? 0 : 0x7777));

    EXPECT_EQ(rig.Write(gate, row.value), 0);
    Frames expected{f::Select(static_cast<unsigned>(row.station))};
    expected.insert(expected.end(), row.frames.begin(), row.frames.end());
    const Frames sent = rig.Sent();
    EXPECT_EQ(sent, expected) << Readable(sent);
    EXPECT_EQ(rig.Sim().Get(row.station, row.area, row.number), row.after);
    EXPECT_EQ(rig.Sim().Get(row.station, row.area, row.next), row.dataType == DATA_TYPE_BIT ? 0 : 0x7777);
    EXPECT_TRUE(rig.Log().Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, MultiWriteTest,
    ::testing::Values(
        MultiWriteCase{"Fa3Dr10", kFa3, "002DR0010", DATA_TYPE_WORD, 10, 0x0BAD, "DR", 10, 11, 0x0BAD,
                       {f::WriteHeader('4', "44", 10, 2), f::WordData(0x0BAD)}},
        MultiWriteCase{"Fa3Cp5", kFa3, "002CP0001", DATA_TYPE_WORD, 5, 42, "CP", 1, 2, 42,
                       {f::WriteHeader('4', "43", 1, 2), f::WordData(42)}},
        MultiWriteCase{"Fa3Io16", kFa3, "002IO0000", DATA_TYPE_BIT, 16, 1, "IO", 0, 1, 1,
                       {f::WriteHeader('5', "58", 0, 1), "0101"}},
        MultiWriteCase{"Fa3Sr16", kFa3, "002SR0016", DATA_TYPE_BIT, 16, 1, "SR", 16, 17, 1,
                       {f::WriteHeader('5', "52", 16, 1), "0101"}},
        MultiWriteCase{"Fa2Dr10", kFa2, "001DR0010", DATA_TYPE_WORD, 10, 0x0BAD, "DR", 10, 11, 0x0BAD,
                       {f::WriteDataRegister(10, 0x0BAD)}},
        MultiWriteCase{"Fa2Io8", kFa2, "001IO0000", DATA_TYPE_BIT, 8, 1, "IO", 0, 1, 1, {f::WriteBit('9', 0)}}),
    testsupport::CaseName<MultiWriteCase>);

// ---------------------------------------------------------------------------
// The gate address text in messages: at most 19 characters, upper-cased for
// the write messages, never a format, an empty name for none.

TEST(GateAddressText, LongAddressIsCutInTheRangeMessage) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define("001CP0005", DATA_TYPE_WORD);
    gate.gas = "001cp0005-" + std::string(40, 'x');
    EXPECT_EQ(rig.Write(gate, 10000), 1);
    EXPECT_EQ(rig.Log().Lines(), std::vector<LogLine>{OutOfRange("001CP0005-XXXXXXXXX")});
    EXPECT_TRUE(rig.Sent().empty());
}

TEST(GateAddressText, TwentyCharactersAreCutToNineteen) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define("001CP0005", DATA_TYPE_WORD);
    gate.gas = "001cp0005abcdefghijk";  // exactly 20
    ASSERT_EQ(gate.gas.size(), 20u);
    EXPECT_EQ(rig.Write(gate, 10000), 1);
    EXPECT_EQ(rig.Log().Lines(), std::vector<LogLine>{OutOfRange("001CP0005ABCDEFGHIJ")});
}

TEST(GateAddressText, FormatCharactersAreLoggedLiterally) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define("001CP0005", DATA_TYPE_WORD);
    gate.gas = "%s%s%n%d%x";
    EXPECT_EQ(rig.Write(gate, 10000), 1);
    EXPECT_EQ(rig.Log().Lines(), std::vector<LogLine>{OutOfRange("%S%S%N%D%X")});
}

TEST(GateAddressText, NullAddressIsAnEmptyName) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate gate = rig.Define("001CP0005", DATA_TYPE_WORD);
    gate.nullGas = true;
    EXPECT_EQ(rig.Write(gate, 10000), 1);
    EXPECT_EQ(rig.Log().Lines(), std::vector<LogLine>{OutOfRange("")});

    // And a transfer without an address text is otherwise served as usual.
    rig.Forget();
    rig.Sim().Set(kFa2, "CP", 5, 77);
    EXPECT_EQ(rig.Read(gate), 0);
    EXPECT_EQ(gate.Slot(1), 77);
    EXPECT_EQ(rig.Write(gate, 88), 0);
    EXPECT_EQ(rig.Sim().Get(kFa2, "CP", 5), 88);
    EXPECT_TRUE(rig.Log().Lines().empty());
}

TEST(GateAddressText, LongAddressDoesNotDisturbAGoodExchange) {
    Rig rig;
    ASSERT_TRUE(rig.Ready());
    Gate fa2 = rig.Define("001DR0003", DATA_TYPE_WORD);
    Gate fa3 = rig.Define("002DR0003", DATA_TYPE_WORD);
    fa2.gas = std::string(300, 'a');
    fa3.gas = std::string(64, '%');
    EXPECT_EQ(rig.Write(fa2, 123), 0);
    EXPECT_EQ(rig.Read(fa2), 0);
    EXPECT_EQ(fa2.Slot(1), 123);
    EXPECT_EQ(rig.Write(fa3, 456), 0);
    EXPECT_EQ(rig.Read(fa3), 0);
    EXPECT_EQ(fa3.Slot(1), 456);
    EXPECT_TRUE(rig.Log().Lines().empty());
}

}  // namespace
}  // namespace e2e
