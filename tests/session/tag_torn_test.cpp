// A 32-bit counter is never torn: its two words are read in one exchange.
// fasim's memory changes from 0x0000FFFF to 0x00010000 and back, both words
// at once, while the counter is read through the plan of a typed gate list;
// every value read is one of the two. An exchange takes about 20 ms of the
// driver's own pacing, idle time: 1,000 reads here, TAG_TORN_READS=10000 for
// the long run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fasim.h"
#include "plan/scan_plan.h"
#include "session/gates/gate_list.h"
#include "session/gates/tag_convert.h"
#include "support/host_records.h"
#include "support/log_capture.h"
#include "support/pty_pair.h"

namespace {

int Reads() {
    const char* reads = std::getenv("TAG_TORN_READS");
    return reads != nullptr ? std::atoi(reads) : 1000;
}

TEST(TagTorn, ACounterChangingUnderReadsIsNeverTorn) {
    testsupport::LogCapture log;
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}};
    options.line.paced = false;
    fasim::Simulator sim(options);
    const std::string link = testsupport::ShortLinkPath();
    std::string error;
    ASSERT_TRUE(sim.StartPty(link, &error)) << error;

    std::vector<qel::session::ListedGate> listed;
    ASSERT_TRUE(qel::session::ParseGateList({{1, "001DR0020 tag=counter type=uint32"}}, "gates.txt", listed, error))
        << error;
    DriverWorkspace workspace{};
    QelSetup setup = testsupport::SetupFor(link);
    setup.baudRate = 38400;  // the fastest the driver takes: the same exchanges in less time
    QelRequest init{&workspace, QEL_INIT, 1, 0, &setup};
    ASSERT_EQ(QelMain(&init), 0);
    const auto driver = qel::plan::DriverThrough(QelMain, &workspace, 1);
    const std::vector<qel::plan::GateRequest> requests = {
        {listed[0].gate.gas, listed[0].gate.count, listed[0].gate.dataType}};
    const auto plan = qel::plan::MakePlan(requests, driver, {});
    ASSERT_EQ(plan.transfers.size(), 1u);
    const auto& transfer = plan.transfers.front();

    const std::vector<std::uint16_t> low = {0x0000, 0xFFFF}, high = {0x0001, 0x0000};
    ASSERT_TRUE(sim.SetWords(1, "DR", 20, low));
    std::atomic<bool> done{false};
    std::atomic<long> flips{0};
    std::thread changer([&] {
        for (bool up = true; !done; up = !up) {
            sim.SetWords(1, "DR", 20, up ? high : low);
            ++flips;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    int reads = 0, lows = 0, highs = 0, torn = 0, failed = 0;
    for (; reads < Reads(); ++reads) {
        std::vector<std::uint16_t> slots(qel::plan::SlotCount(transfer), 0);
        GateTransfer record = qel::plan::ToGateTransfer(transfer, slots.data());
        QelRequest request{&workspace, qel::plan::ReadOperation(transfer), 1, 0, &record};
        if (QelMain(&request) != 0) {
            ++failed;
            continue;
        }
        std::vector<double> values;
        ASSERT_TRUE(qel::session::DecodeTag(listed[0].spec,
                                            qel::plan::GateValues(transfer, transfer.gates.front(), slots), values,
                                            error));
        if (values.front() == 0xFFFF) ++lows;
        else if (values.front() == 0x10000) ++highs;
        else ++torn;
    }
    done = true;
    changer.join();
    QelRequest close{&workspace, QEL_CLOSE, 1, 0, nullptr};
    QelMain(&close);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(failed, 0);
    // The memory did change under the reads: both values were seen.
    EXPECT_GT(lows, 0);
    EXPECT_GT(highs, 0);
    EXPECT_GT(flips.load(), 100);
}

}  // namespace
