// `qelhost demo`: a whole session against the simulator on a pseudo-terminal,
// every step printed with its outcome.
#include <cstdio>
#include <iostream>

#include "commands.h"

#if defined(_WIN32)

namespace qel::qelhost {
int RunDemo(const CommonOptions&, const DemoOptions&) {
    std::cerr << "qelhost: the demo runs the simulator on a pseudo-terminal, which this platform lacks\n";
    return kExitUsage;
}
}  // namespace qel::qelhost

#else

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "kestan.h"
#include "output.h"

extern char** environ;

namespace qel::qelhost {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The simulator as a child process, stopped and cleaned up on every way out.
class SimulatorProcess {
public:
    ~SimulatorProcess() { Stop(); }

    bool Start(const std::string& program, const std::vector<std::string>& arguments, const std::string& link) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid_ = -1;
            return false;
        }
        link_ = link;
        for (int i = 0; i < 500; ++i) {
            struct stat st {};
            if (lstat(link.c_str(), &st) == 0) return true;
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 300 && waitpid(pid_, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(10ms);
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        if (!link_.empty()) unlink(link_.c_str());
    }

private:
    pid_t pid_ = -1;
    std::string link_;
};

struct DemoLog {
    int retries = 0;
    static void Sink(int level, const char* message, void* context) {
        auto* self = static_cast<DemoLog*>(context);
        if (std::string(message).find("Read Retry") != std::string::npos) ++self->retries;
        std::printf("        driver says: %d %s\n", level, message);
    }
};

class Steps {
public:
    void Check(bool ok, const std::string& what) {
        std::printf("  [%s] %s\n", ok ? " ok " : "FAIL", what.c_str());
        std::fflush(stdout);
        if (!ok) ++failed_;
    }
    void Title(const char* title) {
        std::printf("\n%s\n", title);
        std::fflush(stdout);
    }
    int failed() const { return failed_; }

private:
    int failed_ = 0;
};

// The driver's number for a result ("2"), or "-1" for a gate it refused to check.
std::string ResultNumber(const std::optional<DriverResult>& result) {
    return result ? std::to_string(static_cast<int>(*result)) : "-1";
}

std::string Hex(std::uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", v);
    return text;
}

}  // namespace

int RunDemo(const CommonOptions& common, const DemoOptions& options) {
    const std::string fasim = options.fasimPath.empty() ? ProgramDirectory() + "/fasim" : options.fasimPath;
    const std::string tag = std::to_string(getpid() % 10000);
    const std::string link = "/tmp/fd" + tag;
    const fs::path scratch = fs::temp_directory_path() / ("qelhost-demo-" + tag);
    fs::create_directories(scratch);
    const std::string memoryFile = (scratch / "memory.txt").string();
    const std::string modelsFile = (scratch / "models.int").string();
    std::ofstream(memoryFile) << "# recognisable values\n"
                                 "1 DR 10 4660\n1 DR 11 22136\n1 TM 5 0x1234\n1 IO 0 1\n1 IO 7 1\n"
                                 "2 DR 10 0xBEEF\n2 DR 11 1\n2 IO 0 1\n2 IO 2 1\n2 IO 17 1\n";
    std::ofstream(modelsFile) << "001FA2\n002FA3\n";

    Steps steps;
    DemoLog log;
    KestanLogToFile(common.logFile.empty() ? "/dev/null" : common.logFile.c_str());
    KestanSetSink(&DemoLog::Sink, &log);

    std::printf("qelhost demo: driver and simulator on a pseudo-terminal\n");
    int exitCode = kExitOk;
    {
        SimulatorProcess sim;
        steps.Title("1. start the simulator: station 1 is an FA-2, station 2 an FA-3, station 5 is absent");
        const bool started = sim.Start(fasim, {"--link", link, "--station", "1:FA2", "--station", "2:FA3", "--memory",
                                               memoryFile, "--baud", "9600", "--parity", "E"},
                                       link);
        steps.Check(started, "fasim answers on " + link);
        if (!started) {
            std::cerr << "qelhost: cannot start the simulator " << fasim << " (name it with --fasim PATH)\n";
            KestanSetSink(nullptr, nullptr);
            fs::remove_all(scratch);
            return kExitLine;
        }

        CommonOptions session = common;
        session.line.port = link;
        session.line.timeout = 20;  // 200 ms, so that the silent station costs little
        session.modelsFile = modelsFile;
        HostContext host(Printer());
        if (!host.LoadDriver(session)) return kExitUsage;

        steps.Title("2. describe the driver");
        DriverInfo info{};
        const bool described = host.session().Describe(info) == DriverResult::Done;
        steps.Check(described && info.workspaceSize == DRIVER_WORKSPACE_SIZE,
                    std::string("\"") + (info.driverName ? info.driverName : "") + "\", workspace of " +
                        std::to_string(info.workspaceSize) + " bytes, default line " + std::to_string(info.baudRate) +
                        " 8E1");

        steps.Title("3. initialise QEL 1 on the line, with a station model file naming station 2 an FA3");
        steps.Check(host.Open(session) == OpenResult::Ready && StationKindOf(host.session().StationModel(2)) == StationKind::FA3 &&
                        StationKindOf(host.session().StationModel(1)) == StationKind::FA2,
                    "QEL_INIT: port open, station 1 FA2, station 2 FA3");

        steps.Title("4. gate checks");
        struct CheckRow {
            const char* gas;
            int count;
            bool legal;
        };
        for (const CheckRow row : {CheckRow{"001DR0399", 1, true}, CheckRow{"001DR0400", 1, false},
                                   CheckRow{"002DR0400", 1, true}, CheckRow{"002IM0640", 1, true},
                                   CheckRow{"001IO0158", 1, false}, CheckRow{"001DR0010", 10, true},
                                   CheckRow{"002IO0000", 16, true}}) {
            Gate gate;
            gate.gas = row.gas;
            gate.count = row.count;
            gate.dataType = GuessDataType(row.gas);
            const bool legal = host.CheckGate(gate) == DriverResult::Done;
            steps.Check(legal == row.legal, std::string(row.gas) + (row.count > 1 ? " block of " + std::to_string(row.count) : "") +
                                                (legal ? " is legal: station " + std::to_string(gate.definition.station) +
                                                             ", area " + std::to_string(gate.definition.areaCode) +
                                                             ", element " + std::to_string(gate.definition.element)
                                                       : " is illegal, as it should be"));
        }

        auto read = [&](const char* gas, int count, std::vector<std::uint16_t>& values) {
            Gate gate;
            gate.gas = gas;
            gate.count = count;
            gate.dataType = GuessDataType(gas);
            if (host.CheckGate(gate) != DriverResult::Done) return std::optional<DriverResult>();
            return std::optional<DriverResult>(host.session().Read(gate, values));
        };
        auto write = [&](const char* gas, std::uint16_t value) {
            Gate gate;
            gate.gas = gas;
            gate.dataType = GuessDataType(gas);
            if (host.CheckGate(gate) != DriverResult::Done) return std::optional<DriverResult>();
            return std::optional<DriverResult>(host.session().Write(gate, value));
        };
        auto expectRead = [&](const char* gas, int count, const std::vector<std::uint16_t>& expected) {
            std::vector<std::uint16_t> values;
            const std::optional<DriverResult> result = read(gas, count, values);
            std::string shown;
            for (auto v : values) shown += (shown.empty() ? "" : " ") + (count == 1 ? std::to_string(v) + " (" + Hex(v) + ")" : std::to_string(v));
            steps.Check(result == DriverResult::Done && values == expected,
                        std::string("read ") + gas + (count > 1 ? " x" + std::to_string(count) : "") + " = " + shown +
                            (result != DriverResult::Done ? " result " + ResultNumber(result) : ""));
        };

        steps.Title("5. single reads");
        expectRead("001DR0010", 1, {4660});
        expectRead("001TM0005", 1, {0x1234});
        expectRead("001IO0007", 1, {1});
        expectRead("002DR0010", 1, {0xBEEF});

        steps.Title("6. block reads");
        expectRead("001DR0010", 2, {4660, 22136});
        expectRead("001IO0000", 8, {1, 0, 0, 0, 0, 0, 0, 1});
        expectRead("002IO0000", 16, {1, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
        expectRead("002DR0010", 2, {0xBEEF, 1});

        steps.Title("7. writes, read back");
        steps.Check(write("001DR0020", 1234) == DriverResult::Done, "write 001DR0020 = 1234");
        expectRead("001DR0020", 1, {1234});
        steps.Check(write("001IO0003", 1) == DriverResult::Done, "write 001IO0003 = 1");
        expectRead("001IO0003", 1, {1});
        steps.Check(write("002DR0020", 4321) == DriverResult::Done, "write 002DR0020 = 4321 (FA3: header, Ack, data, Ack)");
        expectRead("002DR0020", 1, {4321});
        steps.Check(write("001CP0005", 10000) == DriverResult::Refused, "write 001CP0005 = 10000 is refused: a preset holds 0..9999");

        steps.Title("8. FA3 force mode");
        steps.Check(write("002FORCE", 1) == DriverResult::Done, "write 002FORCE = 1: the driver holds station 2 in force mode");
        steps.Check(write("002IO0005", 1) == DriverResult::Done, "write 002IO0005 = 1 goes as a ForceBit frame");
        expectRead("002IO0005", 1, {1});
        steps.Check(write("002SR0009", 1) == DriverResult::Done, "write 002SR0009 = 1 goes as a usual write");
        steps.Check(write("002FORCE", 0) == DriverResult::Done, "write 002FORCE = 0: ClearForce answered, force mode ends");

        steps.Title("9. a silent station: five attempts, four retries, then result 2");
        std::vector<std::uint16_t> values;
        log.retries = 0;
        const std::optional<DriverResult> silent = read("005DR0000", 1, values);
        steps.Check(silent == DriverResult::LineFailure && log.retries == 4,
                    "read 005DR0000 gave " + ResultNumber(silent) + " after " + std::to_string(log.retries) +
                        " retries");

        steps.Title("10. close the port and stop the simulator");
        steps.Check(host.session().Close() == DriverResult::Done, "QEL_CLOSE");
        sim.Stop();
        struct stat st {};
        steps.Check(lstat(link.c_str(), &st) != 0, "the simulator stopped and removed " + link);
    }
    KestanSetSink(nullptr, nullptr);
    KestanLogToFile(nullptr);
    std::error_code ec;
    fs::remove_all(scratch, ec);

    std::printf("\n%s: %d step%s failed\n", steps.failed() == 0 ? "demo succeeded" : "demo FAILED", steps.failed(),
                steps.failed() == 1 ? "" : "s");
    if (steps.failed() != 0) exitCode = kExitRefused;
    return exitCode;
}

}  // namespace qel::qelhost

#endif
