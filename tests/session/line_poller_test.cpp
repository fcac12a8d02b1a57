// The background poller over the line scheduler on a fake line: each gate
// read at its own period, as the poller's own client, stopped promptly; its
// list refused with the file and line; its one line for the log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "plan/scan_plan.h"
#include "session/line/line_poller.h"
#include "session/line/line_scheduler.h"
#include "support/fake_line.h"
#include "support/plan_workspace.h"

namespace {

using namespace qel::session;
using namespace std::chrono_literals;
using testsupport::FakeLine;

SchedulerOptions FastOptions() {
    SchedulerOptions options;
    options.attempts = 2;
    options.retryPause = 1ms;
    options.firstProbe = 10s;
    return options;
}

class ListFile {
public:
    explicit ListFile(const std::string& text) {
        char name[] = "/tmp/poll_list_XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        path_ = name;
        std::ofstream(path_) << text;
    }
    ~ListFile() { std::remove(path_.c_str()); }
    ListFile(const ListFile&) = delete;
    ListFile& operator=(const ListFile&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

class Poller : public ::testing::Test {
protected:
    void SetUp() override { scheduler_.Start(); }
    void TearDown() override {
        poller_.Stop();
        scheduler_.Stop();
    }
    bool Prepare(const ListFile& file, std::string& error,
                 const GateCheck& check = [](Gate&) { return true; }) {
        return poller_.Prepare(file.Path(), check, planDriver_, qel::plan::PlanOptions{}, error);
    }
    long Reads(const std::string& gas) const {
        const std::vector<std::string> log = line_.Log();
        return std::count(log.begin(), log.end(), gas);
    }

    DriverWorkspace workspace_ = testsupport::PlanWorkspace();
    qel::plan::Driver planDriver_ = qel::plan::DriverThrough(QelMain, &workspace_, 1);
    FakeLine line_;
    LineScheduler scheduler_{line_, FastOptions()};
    LinePoller poller_{scheduler_};
};

TEST_F(Poller, ReadsEachGroupAtItsPeriod) {
    ListFile list("# hot and cold\n001DR0010 100ms\n002DR0010 5s\n");
    std::string error;
    ASSERT_TRUE(Prepare(list, error)) << error;
    EXPECT_DOUBLE_EQ(poller_.ShortestPeriod(), 0.1);
    const auto start = std::chrono::steady_clock::now();
    poller_.Start();
    std::this_thread::sleep_for(750ms);
    poller_.Stop();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The fast gate about every 100 ms (generous bounds for a busy machine),
    // the slow one once, at the start.
    const long fast = Reads("001DR0010");
    EXPECT_GE(fast, 4) << seconds;
    EXPECT_LE(fast, static_cast<long>(seconds * 10) + 2) << seconds;
    EXPECT_EQ(Reads("002DR0010"), 1);
    EXPECT_GE(poller_.Rounds(), static_cast<std::uint64_t>(fast));
}

TEST_F(Poller, StopsAtOnceWhenNothingIsDueForLong) {
    ListFile list("001DR0010 60s\n");
    std::string error;
    ASSERT_TRUE(Prepare(list, error)) << error;
    poller_.Start();
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (Reads("001DR0010") == 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(poller_.Rounds(), 1u);
    const auto before = std::chrono::steady_clock::now();
    poller_.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
    EXPECT_EQ(Reads("001DR0010"), 1);
}

TEST_F(Poller, RestartsAfterAStop) {
    ListFile list("001DR0010 60s\n");
    std::string error;
    ASSERT_TRUE(Prepare(list, error)) << error;
    for (int run = 1; run <= 2; ++run) {
        poller_.Start();
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (Reads("001DR0010") < run && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
        poller_.Stop();
        EXPECT_EQ(Reads("001DR0010"), run);
        EXPECT_EQ(poller_.Rounds(), 1u) << "rounds count from Start";
    }
}

TEST_F(Poller, DescribesItsListInOneLine) {
    ListFile list("001DR0010 250ms\n001DR0011 250ms\n002DR0100 4\n");
    std::string error;
    ASSERT_TRUE(Prepare(list, error)) << error;
    const std::string line = poller_.Describe();
    EXPECT_EQ(line.rfind("polling 3 gates (", 0), 0u) << line;
    EXPECT_NE(line.find("every 0.25 s, 1 s)"), std::string::npos) << line;  // unlisted: LinePoller::kDefaultPeriod
}

TEST_F(Poller, AListItCannotUseIsRefusedWithWhere) {
    {
        ListFile list("001DR0010\n\n001DR0010 often\n");
        std::string error;
        EXPECT_FALSE(Prepare(list, error));
        EXPECT_EQ(error.rfind(list.Path() + ":3", 0), 0u) << error;
    }
    {
        ListFile list("001DR0010\n009DR0010\n");
        std::string error;
        EXPECT_FALSE(Prepare(list, error, [](Gate& g) { return g.gas.rfind("009", 0) != 0; }));
        EXPECT_NE(error.find("009DR0010"), std::string::npos) << error;
        EXPECT_EQ(error.rfind(list.Path(), 0), 0u) << error;
    }
    {
        std::string error;
        EXPECT_FALSE(poller_.Prepare("/nonexistent/hot.txt", [](Gate&) { return true; }, planDriver_,
                                     qel::plan::PlanOptions{}, error));
        EXPECT_NE(error.find("/nonexistent/hot.txt"), std::string::npos) << error;
    }
    EXPECT_DOUBLE_EQ(poller_.ShortestPeriod(), 0);
}

}  // namespace
