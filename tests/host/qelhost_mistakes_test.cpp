// The mistakes a person at the cabinet makes, each through the built qelhost
// against the simulator: the message says what to do, with the right exit code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "fasim.h"
#include "run_program.h"
#include "support/pty_pair.h"

namespace {

namespace fs = std::filesystem;
using hosttest::Outcome;

// Station 1 and 5 are FA-2s, station 2 an FA-3; station 9 is configured but
// silent.
class CabinetLine {
public:
    explicit CabinetLine(fasim::FaultSettings faults = {}) {
        fasim::Options options;
        options.stations = {{1, fasim::Model::FA2}, {2, fasim::Model::FA3}, {5, fasim::Model::FA2}, {9, fasim::Model::FA2}};
        options.silentStations = {9};
        options.line.paced = false;
        options.faults = faults;
        sim = std::make_unique<fasim::Simulator>(options);
        link = testsupport::ShortLinkPath();
        std::string error;
        started = sim->StartPty(link, &error);
        sim->SetSilent(9, true);
        sim->Set(1, "DR", 10, 4660);
        sim->Set(2, "DR", 10, 0xBEEF);
        dir = fs::temp_directory_path() / ("qelhost-cabinet-" + std::to_string(getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    ~CabinetLine() {
        sim.reset();
        fs::remove_all(dir);
    }
    Outcome Run(std::vector<std::string> arguments) const { return hosttest::Run(QELHOST_PATH, arguments, dir.string(), 120); }
    std::string File(const std::string& name, const std::string& text) const {
        std::ofstream(dir / name, std::ios::binary) << text;
        return (dir / name).string();
    }

    std::unique_ptr<fasim::Simulator> sim;
    std::string link;
    fs::path dir;
    bool started = false;
};

struct MistakeRow {
    const char* name;
    std::vector<std::string> arguments;  // "@port" is the simulator's link
    int exitCode;
    std::vector<std::string> inErr;
    std::vector<std::string> notInErr = {};
};

TEST(QelhostMistakes, EachSaysWhatToDoWithTheRightExitCode) {
    CabinetLine line;
    ASSERT_TRUE(line.started);
    line.File("lower.int", "002fa3\n");
    line.File("short.int", "1 FA3\n002FA3\n");
    line.File("illegal.int", "002FA3\n256FA3\n");
    line.File("blank.int", "001FA2\n\n002FA3\n");
    line.File("models.int", "002FA3\n");
    line.File("one-as-fa3.int", "001FA3\n");
    line.File("gates.txt", "001DR0010\n");
    line.File("two-as-fa2.int", "002FA2\n");
    fs::create_symlink(line.link, line.dir / "p");
    const MistakeRow rows[] = {
        {"fa3ReadWithoutModels", {"read", "002DR0010", "--port", "@port", "--timeout", "20"}, 1,
         {"station 2 answers as an FA-3", "--station 2:FA3", "002FA3"}},
        {"lowerCaseModel", {"read", "002DR0010", "--port", "@port", "--timeout", "20", "--models", "lower.int"}, 1,
         {"lower.int:1:", "capitals matter", "write 002FA3", "does not know"}},
        {"stationWithoutThreeDigits", {"check", "002DR0400", "--models", "short.int"}, 1,
         {"short.int:1:", "three digits: 001FA3", "ignores the lines after it", "--station 2:FA3"}},
        {"stationAbove255", {"check", "002DR0400", "--models", "illegal.int"}, 1,
         {"illegal.int:2:", "disregards the whole file"}},
        {"blankLineStops", {"check", "001DR0001", "--models", "blank.int"}, 0,
         {"blank.int:2: a blank line ends the station list"}},
        {"portForgotten", {"read", "001DR0010"}, 64, {"uses the line", "--port", "serial devices"}},
        {"portMissing", {"read", "001DR0010", "--port", "/tmp/nofa9"}, 2, {"no such device", "serial devices"}},
        {"malformedGate", {"read", "1DR10", "--port", "@port"}, 1, {"three-digit station", "001DR0399"}},
        {"elementOutOfRange", {"check", "001DR0400"}, 1, {"outside DR on station 1, an FA2 (legal: 0-399)"}},
        // It says where the model came from, and gives no advice to name it.
        {"rangeOnAnFa3", {"check", "002DR1000", "--station", "2:FA3"}, 1,
         {"an FA3 (legal: 0-999); station 2 is named FA3 by --station 2:FA3"}, {"name it with", "by default"}},
        {"bitDigit", {"check", "002IM0648", "--station", "2:fa3"}, 1, {"legal: 400-1317, 2400-2697"}},
        {"blockCount", {"check", "001IO0000", "--block", "16"}, 1, {"the count is 8"}},
        {"forceOnFa2", {"check", "001FORCE"}, 1, {"force-mode gate of an FA-3", "--station 1:FA3"}},
        {"bitValueSeven", {"write", "001IO0000", "7", "--port", "@port"}, 64, {"holds a bit: write 0 or 1"}},
        {"relativePortWithModels", {"read", "002DR0010", "--port", "./p", "--models", "models.int"}, 0, {},
         {"DAVEV", "DavEV"}},
        {"baudTooHigh", {"read", "001DR0010", "--port", "@port", "--baud", "115200"}, 64, {"16-bit", "57600"}},
        {"badStationOption", {"check", "001DR0001", "--station", "2:FA4"}, 64, {"FA2 or FA3"}},
        {"silentStation", {"read", "009DR0000", "--port", "@port", "--timeout", "10"}, 2,
         {"no answer from station 9", "qelhost scan"}, {"DAVEV"}},
        {"woBlockCheck", {"check", "002WO0000", "--block", "4", "--station", "2:FA3"}, 1, {"no FA-3 WO read frame"}},
        {"woBlockRead", {"read", "002WO0000", "--count", "4", "--port", "@port", "--station", "2:FA3"}, 1,
         {"no FA-3 WO read frame", "sends nothing"}, {"check --baud"}},
        {"fa2NamedFa3ByOption", {"read", "001DR0010", "--port", "@port", "--station", "1:FA3", "--timeout", "20"}, 1,
         {"station 1 answers as an FA-2; it is named FA3 by --station 1:FA3", "--station 1:FA2"}},
        {"fa2NamedFa3InFile", {"read", "001DR0010", "--port", "@port", "--models", "one-as-fa3.int", "--timeout", "20"},
         1, {"station 1 answers as an FA-2; it is named FA3 on line 1 of ", "one-as-fa3.int: change its line 001FA3 to 001FA2"}},
        {"forceByItself", {"write", "002FORCE", "1", "--port", "@port", "--station", "2:FA3"}, 64,
         {"sends nothing", "write 002FORCE 1 002IO0005 1 002FORCE 0"}},
        {"forceEndWithoutStart", {"write", "002FORCE", "0", "--port", "@port", "--station", "2:FA3"}, 64,
         {"sends nothing unless a 002FORCE 1", "write 002FORCE 1 002FORCE 0"}},
        {"bitValueAsWord", {"write", "001IO0003", "on", "--port", "@port"}, 64, {"holds a bit: write 0 or 1, not on"},
         {"65535"}},
        {"bareHostAndPort", {"read", "001DR0010", "--port", "127.0.0.1:15031"}, 64, {"--port tcp:127.0.0.1:15031"},
         {"ln -s"}},
        {"tcpWithoutPort", {"read", "001DR0010", "--port", "tcp:localhost"}, 64,
         {"the port tcp:localhost is no line over TCP", "write a line over TCP as --port tcp:HOST:PORT"}},
        {"missingDriver", {"check", "001DR0001", "--driver", "/nonexistent/libdriver.so"}, 64,
         {"cannot load the driver /nonexistent/libdriver.so", "name another driver with --driver PATH"}},
        {"badStationList", {"scan", "--stations", "0-300", "--port", "@port"}, 64,
         {"--stations 0-300: write stations 0 to 255"}},
        {"watchWithJson", {"poll", "--gates", "gates.txt", "--watch", "--format", "json", "--port", "@port"}, 64,
         {"leave out --watch"}},
        {"driverLogWithVerbose", {"read", "001DR0010", "--port", "@port", "-v"}, 0,
         {"32 DAVEV: Izumi 1:N Driver QEL 1 loaded successfully"}},
        {"fa3NamedFa2ByOption", {"read", "002DR0010", "--port", "@port", "--station", "2:FA2", "--timeout", "20"}, 1,
         {"station 2 answers as an FA-3; it is named FA2 by --station 2:FA2", "--station 2:FA3"},
         {"no answer", "wiring"}},
        {"fa3NamedFa2InFile", {"read", "002DR0010", "--port", "@port", "--models", "two-as-fa2.int", "--timeout", "20"},
         1, {"station 2 answers as an FA-3; it is named FA2 on line 1 of ", "two-as-fa2.int: change its line 002FA2 to 002FA3"}, {"no answer", "wiring"}},
        {"fa2TakesNoTmBlock", {"read", "001TM0000", "--count", "5", "--port", "@port"}, 1,
         {"the FA2 rule takes no block of TM", "read the elements one by one", "an FA-3 takes TM blocks"},
         {"outside"}},
        // A command line nearly right: the nearest command or option, the form a value takes.
        {"commandMistyped", {"raed", "001DR0010", "--port", "@port"}, 64, {"\"raed\"", "did you mean \"read\"?"}},
        {"commandSwapped", {"sacn", "--port", "@port"}, 64, {"did you mean \"scan\"?", "commands: describe"}},
        {"optionMistyped", {"read", "001DR0010", "--prot", "@port"}, 64, {"unknown option --prot; did you mean --port?"}},
        {"valueMissing", {"read", "001DR0010", "--port", "@port", "--count"}, 64,
         {"--count takes a value: write --count N or --count=N"}},
        {"numberWithAUnit", {"poll", "--gates", "gates.txt", "--interval", "1s", "--port", "@port"}, 64,
         {"--interval 1s: the number is written without a unit (\"s\")", "milliseconds"}},
    };
    for (const MistakeRow& row : rows) {
        std::vector<std::string> arguments = row.arguments;
        for (std::string& a : arguments) {
            if (a == "@port") a = line.link;
        }
        const Outcome r = line.Run(arguments);
        EXPECT_EQ(r.exitCode, row.exitCode) << row.name << "\n" << r.out << r.err;
        for (const std::string& text : row.inErr) EXPECT_NE(r.err.find(text), std::string::npos) << row.name << ": " << text << "\n" << r.err;
        for (const std::string& text : row.notInErr) EXPECT_EQ(r.err.find(text), std::string::npos) << row.name << ": " << text << "\n" << r.err;
    }
}

TEST(QelhostMistakes, AFailedReadIsOneLine) {
    CabinetLine line;
    ASSERT_TRUE(line.started);
    const Outcome r = line.Run({"read", "009DR0000", "--port", line.link, "--timeout", "10"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("qelhost: the read of 009DR0000 failed: no answer from station 9", 0), 0u) << r.err;
}

// A controller slow to turn round (150 ms), where a station without a recent
// answer is given 100 ms: read and scan say which option to raise, and the
// scan finds the station by itself.
TEST(QelhostMistakes, ASlowControllerIsToldFromASilentOne) {
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}};
    options.line.paced = false;
    options.turnaroundMs = 150;
    fasim::Simulator sim(options);
    const std::string link = testsupport::ShortLinkPath();
    ASSERT_TRUE(sim.StartPty(link));
    sim.Set(1, "DR", 10, 4660);
    struct Row {
        const char* name;
        std::vector<std::string> arguments;
        int exitCode;
        std::vector<std::string> inOutput;
        std::vector<std::string> notInOutput = {};
    };
    const Row rows[] = {
        {"read", {"read", "001DR0010"}, 2, {"station 1 answers, but slowly", "raise --probe-timeout to "},
         {"wiring"}},
        {"readWithProbeTimeout", {"read", "001DR0010", "--probe-timeout", "400"}, 0, {"4660"}},
        {"scanFindsItAlone", {"scan", "--stations", "1,2"}, 0,
         {"1  FA2", "slow: it answered after", "give --probe-timeout ", "read them with --probe-timeout "},
         {"neither read"}},
        {"scanWithProbeTimeout", {"scan", "--stations", "1", "--probe-timeout", "400"}, 0, {"1  FA2"},
         {"neither read", "slow"}},
    };
    for (const Row& row : rows) {
        std::vector<std::string> arguments = row.arguments;
        arguments.insert(arguments.end(), {"--port", link});
        const Outcome r = hosttest::Run(QELHOST_PATH, arguments, "", 120);
        const std::string output = r.out + r.err;
        EXPECT_EQ(r.exitCode, row.exitCode) << row.name << "\n" << output;
        for (const std::string& text : row.inOutput) EXPECT_NE(output.find(text), std::string::npos) << row.name << ": " << text << "\n" << output;
        for (const std::string& text : row.notInOutput) EXPECT_EQ(output.find(text), std::string::npos) << row.name << ": " << text << "\n" << output;
    }
}

TEST(QelhostMistakes, AnEchoThatDiffersIsALineFailureThatNamesTheSettings) {
    fasim::FaultSettings faults;
    faults.corruptRate = 1.0;
    faults.faultEcho = true;
    faults.faultReply = false;
    CabinetLine line(faults);
    ASSERT_TRUE(line.started);
    const Outcome r = line.Run({"read", "001DR0010", "--port", line.link, "--timeout", "10"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("the line settings may differ"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("9600 baud, 8 data bits, even parity"), std::string::npos) << r.err;
}

TEST(QelhostMistakes, ALineOverTcpIsBridgedAndABusyPortNamesItsHolder) {
    fasim::Options options;
    options.stations = {{1, fasim::Model::FA2}};
    options.line.paced = false;
    fasim::Simulator tcpSim(options);
    ASSERT_TRUE(tcpSim.StartTcp(0));
    tcpSim.Set(1, "DR", 10, 4660);
    const std::string address = "tcp:127.0.0.1:" + std::to_string(tcpSim.TcpPort());
    const Outcome read = hosttest::Run(QELHOST_PATH, {"read", "001DR0010", "--port", address});
    EXPECT_EQ(read.exitCode, 0) << read.err;
    EXPECT_NE(read.out.find("4660"), std::string::npos) << read.out;
    // A block of 100 words crosses the bridge whole.
    tcpSim.Set(1, "DR", 109, 777);
    const Outcome block = hosttest::Run(QELHOST_PATH, {"read", "001DR0010", "--count", "100", "--format", "csv", "--port", address});
    EXPECT_EQ(block.exitCode, 0) << block.err;
    EXPECT_NE(block.out.find("001DR0010,99,777"), std::string::npos) << block.out;

    CabinetLine line;
    ASSERT_TRUE(line.started);
    const int fd = ::open(line.link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    const Outcome busy = line.Run({"read", "001DR0010", "--port", line.link});
    ::close(fd);
    EXPECT_EQ(busy.exitCode, 2) << busy.err;
    EXPECT_NE(busy.err.find("qelhost: port busy: " + line.link + " is held by "), std::string::npos) << busy.err;
    EXPECT_NE(busy.err.find("(pid " + std::to_string(getpid()) + ")"), std::string::npos) << busy.err;
}

TEST(QelhostMistakes, EachCommandsHelpListsTheLineOptions) {
    for (const char* command : {"read", "write", "poll", "scan", "check"}) {
        const Outcome r = hosttest::Run(QELHOST_PATH, {command, "--help"});
        EXPECT_EQ(r.exitCode, 0) << command;
        for (const char* option : {"--port", "--baud", "--station", "--models"}) {
            EXPECT_NE(r.out.find(option), std::string::npos) << command << " --help lacks " << option;
        }
    }
}

TEST(QelhostMistakes, VersionNamesQelhostAndTheDriver) {
    const Outcome r = hosttest::Run(QELHOST_PATH, {"--version"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("qelhost 7.03"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Izumi FA-series Driver, version 7.03, compiled on "), std::string::npos) << r.out;
}

}  // namespace
