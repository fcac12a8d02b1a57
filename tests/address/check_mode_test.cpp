// Block mode belongs to one check: it never outlives a QEL_CHECK_BLOCK call
// and never reaches a check running at the same time on another QEL.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "address/gate_check.h"
#include "gate_fixture.h"

namespace qel::test {
namespace {

// Gates whose single-gate result differs from what the same check would give
// in block mode: a wrong data type, a WO gate, a FORCE gate.
struct Probe {
    const char* gas;
    std::int32_t dataType;
    std::int32_t expected;
};
constexpr Probe kProbes[] = {
    {"001TM0001", DATA_TYPE_BIT, 1},
    {"001IO0000", DATA_TYPE_WORD, 1},
    {"001WO0001", DATA_TYPE_WORD, 1},
    {"001FORCE", DATA_TYPE_BIT, 0},
    {"001DR0001", DATA_TYPE_WORD, 0},
};

void ExpectSingleGateBehaviour(DriverWorkspace& workspace, const std::string& after) {
    DriverWorkspace fresh = MakeWorkspace("FA3");
    for (const Probe& probe : kProbes) {
        const CheckOutcome outcome = Check(workspace, probe.gas, probe.dataType, QEL_CHECK_GATE);
        EXPECT_EQ(outcome.result, probe.expected) << probe.gas << " after " << after;
        EXPECT_EQ(outcome, Check(fresh, probe.gas, probe.dataType, QEL_CHECK_GATE))
            << probe.gas << " after " << after;
    }
}

// Every way out of QEL_CHECK_BLOCK, each followed by the single-gate probes.
TEST(BlockMode, EndsWithTheBlockCheckOnEveryPath) {
    struct BlockPath {
        const char* gas;
        std::int32_t dataType;
        std::int32_t count;
        std::int32_t expected;
    };
    const BlockPath paths[] = {
        {nullptr, DATA_TYPE_WORD, 1, 1},          // no text
        {"001DR00001", DATA_TYPE_WORD, 1, 1},     // too long
        {"0x1DR0001", DATA_TYPE_WORD, 1, 1},      // station not digits
        {"300DR0001", DATA_TYPE_WORD, 1, 1},      // station out of range
        {"001FORCE", DATA_TYPE_BIT, 1, 1},        // FORCE refused in a block
        {"001XY0001", DATA_TYPE_WORD, 1, 1},      // no such area
        {"001TM0300", DATA_TYPE_WORD, 1, 1},      // out of range
        {"001TM0001", DATA_TYPE_WORD, 101, 1},    // over the block limit
        {"001IO0000", DATA_TYPE_BIT, 12, 1},      // not whole bytes
        {"001IO0000", DATA_TYPE_BIT, 16, 0},      // accepted bit block
        {"001WO0001", DATA_TYPE_WORD, 10, 0},     // accepted WO block
        {"001TM0001", DATA_TYPE_BIT, 5, 0},       // accepted, data type ignored
    };
    for (const BlockPath& path : paths) {
        DriverWorkspace workspace = MakeWorkspace("FA3");
        GateDefinition gate = MakeGate(path.gas, path.dataType, path.count);
        const std::string name = path.gas == nullptr ? "(null)" : path.gas;
        EXPECT_EQ(RunCheck(workspace, gate, QEL_CHECK_BLOCK), path.expected) << name;
        ExpectSingleGateBehaviour(workspace, name);
    }
    // A block check with no parameter block, or no request at all.
    DriverWorkspace workspace = MakeWorkspace("FA3");
    const QelRequest noParameters = MakeRequest(&workspace, nullptr, QEL_CHECK_BLOCK);
    EXPECT_EQ(CheckBlockGate(&noParameters), 1);
    ExpectSingleGateBehaviour(workspace, "no parameters");
    EXPECT_EQ(QelMain(nullptr), 1);
    ExpectSingleGateBehaviour(workspace, "no request");
}

// One gate check: what to check and what it gave when run alone.
struct Job {
    std::string gas;
    std::int32_t dataType;
    std::int32_t count;
    std::int32_t operation;
    CheckOutcome expected;
};

std::vector<Job> MakeJobs(DriverWorkspace& workspace, std::int32_t operation, std::uint32_t seed) {
    static const char* const kMnemonics[] = {"TM", "CT", "DR", "CP", "TP", "IO", "IR", "IM", "SR", "WO"};
    std::vector<Job> jobs;
    std::uint32_t state = seed;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (const Probe& probe : kProbes) {
        jobs.push_back({probe.gas, probe.dataType, 8, operation, {}});
    }
    for (int i = 0; i < 3000; ++i) {
        const unsigned station = next() % 4;
        std::string gas = "00" + std::to_string(station);
        if (next() % 16 == 0) {
            gas += "FORCE";
        } else {
            gas += kMnemonics[next() % 10];
            gas += FourDigits(next() % 2800);
        }
        const std::int32_t dataType = next() % 2 == 0 ? DATA_TYPE_WORD : DATA_TYPE_BIT;
        const std::int32_t count = static_cast<std::int32_t>(next() % 20);
        jobs.push_back({gas, dataType, count, operation, {}});
    }
    for (Job& job : jobs) {
        job.expected = Check(workspace, job.gas, job.dataType, job.operation, job.count);
    }
    return jobs;
}

// Two QELs check gates at the same time: one only block gates, the other only
// single gates. Every result equals the one the same check gave alone.
TEST(Concurrency, TwoQelsCheckAtTheSameTime) {
    DriverWorkspace blockQel = MakeWorkspace("FA3");
    DriverWorkspace gateQel = MakeWorkspace("FA3");
    for (DriverWorkspace* workspace : {&blockQel, &gateQel}) {
        SetModel(*workspace, 1, "FA2");
        SetModel(*workspace, 3, "fa3");
    }
    const std::vector<Job> blockJobs = MakeJobs(blockQel, QEL_CHECK_BLOCK, 1);
    const std::vector<Job> gateJobs = MakeJobs(gateQel, QEL_CHECK_GATE, 2);

    // The single-gate jobs include results that block mode would change.
    int modeSensitive = 0;
    DriverWorkspace probe = gateQel;
    for (const Job& job : gateJobs) {
        GateDefinition gate = MakeGate(job.gas.c_str(), job.dataType, job.count);
        const QelRequest request = MakeRequest(&probe, &gate, QEL_CHECK_GATE);
        if (CheckGate(&request, CheckMode::BLOCK_GATE) != job.expected.result) ++modeSensitive;
    }
    ASSERT_GT(modeSensitive, 100);

    constexpr int ROUNDS = 20;
    std::atomic<int> mismatches{0};
    std::atomic<bool> go{false};
    auto run = [&](DriverWorkspace& workspace, const std::vector<Job>& jobs) {
        while (!go.load()) std::this_thread::yield();
        for (int round = 0; round < ROUNDS; ++round) {
            for (const Job& job : jobs) {
                const CheckOutcome outcome = Check(workspace, job.gas, job.dataType, job.operation, job.count);
                if (!(outcome == job.expected)) ++mismatches;
            }
        }
    };
    std::thread blockThread(run, std::ref(blockQel), std::cref(blockJobs));
    std::thread gateThread(run, std::ref(gateQel), std::cref(gateJobs));
    go.store(true);
    blockThread.join();
    gateThread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace qel::test
