// qelhost end to end: the program loads the driver and talks to the
// simulator on a pseudo-terminal, as a person would use it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <map>
#include <sstream>

#include "fasim.h"
#include "run_program.h"
#include "support/pty_pair.h"

namespace {

namespace fs = std::filesystem;
using hosttest::Outcome;


class QelhostTest : public ::testing::Test {
protected:
    void SetUp() override {
        fasim::Options options;
        options.stations = {{1, fasim::Model::FA2}, {2, fasim::Model::FA3}};
        options.line.paced = false;
        sim_ = std::make_unique<fasim::Simulator>(options);
        link_ = testsupport::ShortLinkPath();
        std::string error;
        ASSERT_TRUE(sim_->StartPty(link_, &error)) << error;
        ASSERT_TRUE(sim_->Set(1, "DR", 10, 4660));
        ASSERT_TRUE(sim_->Set(1, "DR", 11, 22136));
        ASSERT_TRUE(sim_->Set(1, "IO", 7, 1));
        ASSERT_TRUE(sim_->Set(2, "DR", 400, 0xBEEF));
        dir_ = fs::temp_directory_path() / ("qelhost-test-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        sim_.reset();
        fs::remove_all(dir_);
    }

    Outcome Qelhost(std::vector<std::string> arguments, bool withPort = true) {
        if (withPort) {
            arguments.insert(arguments.end(), {"--port", link_, "--timeout", "20"});
        }
        return hosttest::Run(QELHOST_PATH, arguments, dir_.string());
    }

    std::string WriteFile(const std::string& name, const std::string& text) {
        const fs::path path = dir_ / name;
        std::ofstream(path) << text;
        return path.string();
    }

    std::unique_ptr<fasim::Simulator> sim_;
    std::string link_;
    fs::path dir_;
};

TEST_F(QelhostTest, DescribeShowsTheDriverAndItsBannerInUtf8) {
    const Outcome r = Qelhost({"describe"}, false);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Izumi FA-series Driver"), std::string::npos);
    EXPECT_NE(r.out.find("1591 bytes"), std::string::npos);
    EXPECT_NE(r.out.find("9600 baud"), std::string::npos);
    EXPECT_NE(r.out.find("\xE2\x94\x8C"), std::string::npos) << "the box corner, converted from code page 437";
    EXPECT_NE(r.out.find("Izumi 1/N Serial Protocol."), std::string::npos);
}

struct CheckRow {
    const char* name;
    std::vector<std::string> arguments;
    int exitCode;
    const char* inOut;
    const char* inErr;
};

TEST_F(QelhostTest, CheckGivesLegalOrIllegalWithWhatTheDriverStores) {
    const std::string models = WriteFile("models.int", "002FA3\n");
    const CheckRow rows[] = {
        {"legal", {"check", "001DR0399"}, 0, "001DR0399   legal    station 1  area 2 (DR)  element 399", ""},
        {"illegalOnFa2", {"check", "001DR0400"}, 1, "001DR0400   illegal", "gate 001DR0400 is illegal: element 400 is outside DR on station 1, an FA2 (legal: 0-399)"},
        {"legalOnFa3", {"check", "002DR0400", "--models", models}, 0, "element 400", ""},
        {"bitGate", {"check", "001io157"}, 0, "area 5 (IO)  element 127", ""},
        {"forcedWord", {"check", "001IO0157", "--word"}, 1, "illegal", "is illegal"},
        {"block", {"check", "001DR0010", "--block", "100"}, 0, "legal", ""},
        {"blockTooLong", {"check", "001DR0010", "--block", "101"}, 1, "illegal", "a block of 101 DR elements on station 1, an FA2 is not allowed; the count is 2-100"},
        {"several", {"check", "001DR0001", "001XY0001"}, 1, "001XY0001   illegal", "gate 001XY0001 is illegal"},
    };
    for (const CheckRow& row : rows) {
        const Outcome r = Qelhost(row.arguments, false);
        EXPECT_EQ(r.exitCode, row.exitCode) << row.name << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find(row.inOut), std::string::npos) << row.name << "\n" << r.out;
        EXPECT_NE(r.err.find(row.inErr), std::string::npos) << row.name << "\n" << r.err;
    }
}

TEST_F(QelhostTest, ReadShowsDecimalAndHex) {
    const Outcome r = Qelhost({"read", "001DR0010"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("001DR0010   -       4660  0x1234"), std::string::npos) << r.out;
}

TEST_F(QelhostTest, ReadOfABlockAsJsonParses) {
    const Outcome r = Qelhost({"read", "001DR0010", "--count", "2", "--format", "json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto line = nlohmann::json::parse(r.out);
    EXPECT_EQ(line["gate"], "001DR0010");
    EXPECT_EQ(line["result"], 0);
    EXPECT_EQ(line["values"], (std::vector<int>{4660, 22136}));
}

TEST_F(QelhostTest, ReadOfBitsShowsTheBitString) {
    const Outcome r = Qelhost({"read", "001IO0000", "--count", "8"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("bits 0..7: 00000001"), std::string::npos) << r.out;
}

TEST_F(QelhostTest, WriteChangesTheController) {
    Outcome r = Qelhost({"write", "001DR0020", "0x1234"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(sim_->Get(1, "DR", 20), 0x1234);
    r = Qelhost({"write", "001IO0003", "1"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(sim_->Get(1, "IO", 3), 1);
    r = Qelhost({"read", "001DR0020", "--format", "csv"});
    EXPECT_NE(r.out.find("001DR0020,-,4660,0x1234,0"), std::string::npos) << r.out;
}

TEST_F(QelhostTest, SeveralWritesShareOneSessionSoForceModeHolds) {
    const std::string models = WriteFile("models.int", "002FA3\n");
    sim_->ClearTrace();
    const Outcome r =
        Qelhost({"write", "002FORCE", "1", "002IO0005", "1", "002SR0009", "1", "002FORCE", "0", "--models", models});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(sim_->Get(2, "IO", 5), 1);
    EXPECT_EQ(sim_->Get(2, "SR", 9), 1);
    EXPECT_FALSE(sim_->ForceMode(2)) << "ClearForce ended force mode";
    std::vector<std::string> sent;
    for (const auto& record : sim_->Trace()) {
        if (record.fromMaster) sent.push_back(record.bytes);
    }
    const std::vector<std::string> expected = {
        "`0202\r",             // selection; FORCE 1 itself sends nothing
        "\\6580005119\r",        // ForceBit: IO group 1000, address 5, bit 1, sum 0x19
        "\\5520009000116\r",     // SR goes as the usual header: SR 9, one byte, sum 0x16
        "0101",                  // and its data message
        "\\8008\r",              // ClearForce
    };
    EXPECT_EQ(sent, expected);
}

TEST_F(QelhostTest, AValueOutOfRangeIsRefusedWithOne) {
    const Outcome r = Qelhost({"write", "001CP0005", "10000", "-v"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("a preset (CP, TP) holds 0 to 9999"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("DAVEV:Value to write out of range. Gate=001CP0005"), std::string::npos) << r.err;
}

struct UsageRow {
    const char* name;
    std::vector<std::string> arguments;
};

TEST_F(QelhostTest, UsageErrorsGiveSixtyFour) {
    const UsageRow rows[] = {
        {"noCommand", {}},
        {"unknownCommand", {"frobnicate"}},
        {"unknownOption", {"read", "001DR0010", "--colour"}},
        {"missingGas", {"read"}},
        {"valueNotANumber", {"write", "001DR0010", "12ab"}},
        {"valueTooLarge", {"write", "001DR0010", "65536"}},
        {"gateWithoutValue", {"write", "001DR0010", "1", "001DR0011"}},
        {"badParity", {"read", "001DR0010", "--parity", "sometimes"}},
        {"countTooLarge", {"read", "001DR0010", "--count", "101"}},
        {"tcpWithoutItsPort", {"read", "001DR0010", "--port", "tcp:localhost"}},
        {"missingModels", {"check", "001DR0010", "--models", "/nonexistent/models.int"}},
    };
    for (const UsageRow& row : rows) {
        const Outcome r = Qelhost(row.arguments, false);
        EXPECT_EQ(r.exitCode, 64) << row.name << "\n" << r.out << r.err;
        EXPECT_FALSE(r.err.empty()) << row.name;
    }
    EXPECT_EQ(Qelhost({"--help"}, false).exitCode, 0);
    EXPECT_EQ(Qelhost({"read", "--help"}, false).exitCode, 0);
}

TEST_F(QelhostTest, AMissingPortGivesTwoWithAClearMessage) {
    const Outcome r = Qelhost({"read", "001DR0010", "--port", "/tmp/nofa9", "-v"}, false);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("cannot open /tmp/nofa9: no such device"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("DAVEV : Fail to open /tmp/nofa9"), std::string::npos) << r.err;
}

TEST_F(QelhostTest, ABusyPortIsNamedSo) {
    testsupport::PtyPair pty;
    const std::string link = testsupport::ShortLinkPath();
    pty.Link(link);
    // Another program holds the port.
    const int held = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const Outcome busy = Qelhost({"read", "001DR0010", "--port", link}, false);
    EXPECT_EQ(busy.exitCode, 2);
    EXPECT_NE(busy.err.find("port busy"), std::string::npos) << busy.err;
    ::close(held);
}

TEST_F(QelhostTest, ASilentStationGivesTwo) {
    // The line scheduler's attempts, or the driver's own retries.
    const struct {
        std::vector<std::string> extra;
        const char* said;
    } cases[] = {{{}, "station 7 did not answer: held down"},
                 {{"--driver-retries"}, "DAVEV: Gate 007DR0000, Read Retry 4"}};
    for (const auto& c : cases) {
        std::vector<std::string> args = {"read", "007DR0000", "-v"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const Outcome r = Qelhost(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find("no answer from station 7"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
}

TEST_F(QelhostTest, PollPrintsEachRoundAndASummary) {
    const std::string gates = WriteFile("gates.txt", "# gate list\n001DR0010\n001IO0000 8 bit\n\n002DR0400 1 word\n");
    const std::string models = WriteFile("models.int", "002FA3\n");
    const Outcome r = Qelhost({"poll", "--gates", gates, "--interval", "10", "--rounds", "2", "--format", "json",
                               "--models", models});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        const auto j = nlohmann::json::parse(line);
        EXPECT_TRUE(j.contains("time"));
        EXPECT_EQ(j["result"], 0) << line;
        const std::map<std::string, std::vector<int>> expected = {
            {"001DR0010", {4660}}, {"002DR0400", {0xBEEF}}, {"001IO0000", {0, 0, 0, 0, 0, 0, 0, 1}}};
        EXPECT_EQ(j["values"], expected.at(j["gate"].get<std::string>())) << line;
        ++count;
    }
    EXPECT_EQ(count, 6) << "three gates, two rounds";
    EXPECT_NE(r.err.find("poll summary: 6 reads, 0 failures, mean"), std::string::npos) << r.err;
}

TEST_F(QelhostTest, PollStopsOnInterruptWithASummary) {
    const std::string gates = WriteFile("gates.txt", "001DR0010\n");
    const std::string command = std::string(QELHOST_PATH) + " poll --gates " + gates + " --interval 50 --port " +
                                link_ + " --format csv > " + (dir_ / "out.txt").string() + " 2> " +
                                (dir_ / "err.txt").string() + " & pid=$!; sleep 1; kill -INT $pid; wait $pid";
    const Outcome r = hosttest::Run("/bin/sh", {"-c", command});
    EXPECT_EQ(r.exitCode, 0);
    std::ifstream err(dir_ / "err.txt");
    const std::string errors((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
    EXPECT_NE(errors.find("poll summary:"), std::string::npos) << errors;
    std::ifstream out(dir_ / "out.txt");
    std::string header;
    std::getline(out, header);
    EXPECT_EQ(header, "time,gate,index,value,hex,result");
}

TEST_F(QelhostTest, ABadGateListNamesItsLine) {
    const std::string gates = WriteFile("gates.txt", "001DR0010\n001DR0011 lots\n");
    const Outcome r = Qelhost({"poll", "--gates", gates, "--rounds", "1"});
    EXPECT_EQ(r.exitCode, 64);
    EXPECT_NE(r.err.find("gates.txt:2:"), std::string::npos) << r.err;
}

TEST_F(QelhostTest, WarmStart) {
    const Outcome r = Qelhost({"warm-start", "--qel", "7", "-v"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("DAVEV: Warm start QEL 7"), std::string::npos) << r.err;
}

TEST_F(QelhostTest, LogGoesToTheNamedFile) {
    const std::string log = (dir_ / "driver.log").string();
    const Outcome r = Qelhost({"read", "001DR0010", "--log", log});
    EXPECT_EQ(r.exitCode, 0);
    std::ifstream file(log);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("32 DAVEV: Izumi 1:N Driver QEL 1 loaded successfully"), std::string::npos) << text;
    EXPECT_EQ(r.err.find("DAVEV"), std::string::npos) << "nothing of the driver's on stderr";
}

TEST(QelhostDemo, RunsEveryStepSuccessfully) {
    const auto start = std::chrono::steady_clock::now();
    const Outcome r = hosttest::Run(QELHOST_PATH, {"demo", "--fasim", FASIM_PATH}, "", 120);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("demo succeeded: 0 steps failed"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("[FAIL]"), std::string::npos) << r.out;
    for (const char* step : {"gate checks", "single reads", "block reads", "writes, read back", "FA3 force mode",
                             "a silent station"}) {
        EXPECT_NE(r.out.find(step), std::string::npos) << step;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

// Controllers behind a serial device server: socat makes a local pty bridged
// to the TCP port, and the driver reads through that pty.
TEST(SerialOverTcp, ReadThroughASocatBridge) {
    if (system("command -v socat > /dev/null 2>&1") != 0) GTEST_SKIP() << "socat is not installed";
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}};
    options.line.paced = false;
    fasim::Simulator sim(options);
    std::string error;
    ASSERT_TRUE(sim.StartTcp(0, &error)) << error;
    ASSERT_TRUE(sim.Set(1, "DR", 42, 31337));
    const std::string link = testsupport::ShortLinkPath();
    const std::string bridge = "socat pty,link=" + link + ",raw,echo=0 tcp:127.0.0.1:" +
                               std::to_string(sim.TcpPort()) + " & pid=$!; " +
                               "for i in $(seq 50); do [ -e " + link + " ] && break; sleep 0.1; done; " +
                               QELHOST_PATH + " read 001DR0042 --timeout 50 --port " + link +
                               "; rc=$?; kill $pid; wait $pid 2>/dev/null; exit $rc";
    const Outcome r = hosttest::Run("/bin/sh", {"-c", bridge});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("31337"), std::string::npos) << r.out;
}

}  // namespace

namespace {

// An illegal gate says where its station's model came from: the model
// file's line, --station, the file that names it on no line, or the
// davEVnn.int looked for; a gate list's refused gate says its line too.
TEST_F(QelhostTest, AnIllegalGateSaysWhereItsModelCameFrom) {
    const std::string models = WriteFile("models.int", "# the FA-3s\n002FA3\n");
    WriteFile("gates.txt", "001DR0010\n# the second\n001DR0400\n");
    const std::string dir = dir_.string();
    const std::string outside = "gate 001DR0400 is illegal: element 400 is outside DR on station 1, an FA2 (legal: 0-399)";
    struct Row {
        const char* name;
        std::vector<std::string> arguments;
        std::string err;  // the whole of stderr
    } rows[] = {
        {"noFile", {"check", "001DR0400"},
         "qelhost: " + outside + "; station 1 is an FA2 by default: there is no station model file (no --models FILE, "
         "and no " + dir + "/davEV01.int, the file the driver reads for QEL 1); if it is an FA-3, name it with "
         "--station 1:FA3\n"},
        {"noFileOfQel7", {"check", "001DR0400", "--qel", "7"},
         "qelhost: " + outside + "; station 1 is an FA2 by default: there is no station model file (no --models FILE, "
         "and no " + dir + "/davEV07.int, the file the driver reads for QEL 7); if it is an FA-3, name it with "
         "--station 1:FA3\n"},
        {"notInTheFile", {"check", "001DR0400", "--models", models},
         "qelhost: " + outside + "; station 1 is an FA2 by default: no line of " + models + " that the driver reads "
         "names it; if it is an FA-3, name it with --station 1:FA3, or add the line 001FA3 to " + models + "\n"},
        {"onALine", {"check", "002FORCE", "--word", "--models", models},
         "qelhost: gate 002FORCE is illegal: the FORCE gate holds a bit (check it with --bit)\n"},
        {"blockOnALine", {"check", "002WO0000", "--models", models},
         "qelhost: gate 002WO0000 is illegal: WO on station 2, an FA3 is read only as a block (--count N; elements "
         "0-399); station 2 is named FA3 on line 2 of " + models + "\n"},
        {"byOption", {"check", "001DR0400", "--station", "1:FA2"},
         "qelhost: " + outside + "; station 1 is named FA2 by --station 1:FA2\n"},
        {"pollList", {"poll", "--gates", "gates.txt", "--plan", "--station", "1:FA2"},
         "qelhost: " + dir + "/gates.txt:3: " + outside + "; station 1 is named FA2 by --station 1:FA2\n"},
    };
    for (const Row& row : rows) {
        const Outcome r = Qelhost(row.arguments, false);
        EXPECT_EQ(r.exitCode, 1) << row.name << "\n" << r.err;
        EXPECT_EQ(r.err, row.err) << row.name;
    }
    // davEV01.int in the working directory, as the driver reads it.
    WriteFile("davEV01.int", "001FA2\n002FA3\n");
    const Outcome r = Qelhost({"check", "001DR0400"}, false);
    EXPECT_EQ(r.err, "qelhost: " + outside + "; station 1 is named FA2 on line 1 of davEV01.int\n");
}

}  // namespace
