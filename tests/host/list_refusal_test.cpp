// A gate that the driver refuses in a list file gets the reason qelhost
// gives the same gate, with where its station's model came from, at the
// list's file and line: the write-allow list (a file, or a configuration
// file's inline list), a publish list (a file or inline), the poll list,
// and a tag list. Over the driver's own checks on a session without a line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "cli/worded_check.h"
#include "session/driver/driver_library.h"
#include "session/driver/plan_link.h"
#include "session/driver/qel_session.h"
#include "session/gates/gate_access.h"
#include "session/gates/gate_list.h"
#include "session/gates/gate_rounds.h"
#include "session/gates/tag_table.h"
#include "session/gates/write_allow.h"
#include "session/line/line_poller.h"
#include "session/line/line_scheduler.h"

namespace {

namespace fs = std::filesystem;
using namespace qel::session;

const char* const kModels = "/srv/line1/stations.int";
// What qelhost says of 001DR0400 with a model file that does not name station 1.
const std::string kReason =
    "gate 001DR0400 is illegal: element 400 is outside DR on station 1, an FA2 (legal: 0-399); station 1 is an FA2 "
    "by default: no line of /srv/line1/stations.int that the driver reads names it; if it is an FA-3, name it with "
    "--station 1:FA3, or add the line 001FA3 to /srv/line1/stations.int";

class ListRefusal : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(driver_.Load(VUZORUR_PATH, error)) << error;
        session_ = std::make_unique<QelSession>(driver_);
        ASSERT_EQ(session_->Init(LineOptions{}), DriverResult::Done);
        models_.file = kModels;
        dir_ = fs::temp_directory_path() / ("list-refusal-" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (session_) session_->Close();
        fs::remove_all(dir_);
    }
    std::string Write(const std::string& name, const std::string& text) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        return path.string();
    }

    DriverLibrary driver_;
    std::unique_ptr<QelSession> session_;
    StationModels models_;
    fs::path dir_;
};

TEST_F(ListRefusal, EachListGivesQelhostsReasonAtItsLine) {
    const GateCheck check = qel::cli::WordedGateCheck(*session_, models_);
    const std::string text = "001DR0010\n# the set points\n\n001DR0400\n";
    const std::vector<qel::common::TextLine> inline_ = {{7, "001DR0010"}, {8, "001DR0400"}};
    const std::string file = Write("list.txt", text);
    LineScheduler idle(*session_, SchedulerOptions{});

    struct Row {
        const char* kind;
        std::function<bool(std::string&)> load;
        std::string where;
    } rows[] = {
        {"write-allow file",
         [&](std::string& error) {
             WriteAllowList list;
             return list.Load(file, check, error);
         },
         file + ":4: "},
        {"write-allow inline",
         [&](std::string& error) {
             WriteAllowList list;
             return list.Load(inline_, "/etc/line1.toml", check, error);
         },
         "/etc/line1.toml:8: "},
        {"publish file",
         [&](std::string& error) {
             GateRounds rounds(idle, 1);
             const auto any = [](std::size_t, const ListedGate&, std::string&) { return true; };
             return rounds.Prepare(GateListSource{file, {}, "", 1}, check, any, PlanDriverOf(*session_), {}, error);
         },
         file + ":4: "},
        {"publish inline",
         [&](std::string& error) {
             GateRounds rounds(idle, 1);
             const auto any = [](std::size_t, const ListedGate&, std::string&) { return true; };
             return rounds.Prepare(GateListSource{"", inline_, "/etc/line1.toml", 1}, check, any,
                                   PlanDriverOf(*session_), {}, error);
         },
         "/etc/line1.toml:8: "},
        {"poll file",
         [&](std::string& error) {
             LinePoller poller(idle);
             return poller.Prepare(file, check, PlanDriverOf(*session_), {}, error);
         },
         file + ":4: "},
        {"tag list",
         [&](std::string& error) {
             std::vector<ListedGate> listed;
             const std::vector<qel::common::TextLine> tagged = {{2, "001DR0010 tag=level"},
                                                                {5, "001DR0400 tag=set_point"}};
             if (!ParseGateList(tagged, "tags.txt", listed, error)) return true;  // not the refusal asked for
             GateAccess access(*session_, idle, LineFacts{models_, kModels, "", LineOptions{}}, 1);
             TagTable table;
             return table.Load(listed, access, "tags.txt", error,
                               [](const GateDiagnosis& d) { return qel::cli::GateDiagnosisText(d); });
         },
         "tags.txt:5: "},
    };
    for (const Row& row : rows) {
        std::string error;
        EXPECT_FALSE(row.load(error)) << row.kind;
        EXPECT_EQ(error, row.where + kReason) << row.kind;
    }
}

// A check without words of its own still names the gate and the line.
TEST_F(ListRefusal, ACheckWithoutWordsSaysTheBareFact) {
    const GateCheck bare = [this](Gate& gate) { return session_->Check(gate) == DriverResult::Done; };
    WriteAllowList list;
    std::string error;
    EXPECT_FALSE(list.Load(Write("allow.txt", "001DR0400 2\n"), bare, error));
    EXPECT_EQ(error, (dir_ / "allow.txt").string() + ":1: 001DR0400 is not a gate the driver accepts");
    // The second gate of a run is the one refused, at the run's line.
    EXPECT_FALSE(list.Load(Write("run.txt", "\n001DR0399 2\n"), qel::cli::WordedGateCheck(*session_, models_), error));
    EXPECT_EQ(error, (dir_ / "run.txt").string() + ":2: " + kReason);
}

}  // namespace
