// The qelhost commands. Each returns the process's exit code.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qel_session.h"

namespace qelhost {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;   // the driver's 1: refused or illegal
constexpr int kExitLine = 2;      // the driver's 2: port or line failure
constexpr int kExitUsage = 64;

struct CommonOptions {
    LineOptions line;
    std::string modelsFile;
    std::string driverPath;
    std::string logFile;
};

struct CheckOptions {
    std::vector<std::string> gates;
    int count = 1;
    bool bit = false;
    bool word = false;
};

struct ReadOptions {
    std::string gas;
    int count = 1;
    std::string format = "table";
};

// One or more gates and values, written in order in one session (so that a
// station's force mode holds from one write to the next).
struct WriteOptions {
    std::vector<std::string> pairs;  // GAS VALUE [GAS VALUE ...]
};

struct PollOptions {
    std::string gatesFile;
    int intervalMs = 1000;
    std::string format = "table";
    long rounds = 0;  // 0: until interrupted
    bool noMerge = false;   // one exchange per gate, in the order of the list
    bool planOnly = false;  // print the plan and its predicted times, send nothing
    bool watch = false;     // a compact table, redrawn in place on a terminal
};

struct DemoOptions {
    std::string fasimPath;
};

int RunDescribe(const CommonOptions& common);
int RunCheck(const CommonOptions& common, const CheckOptions& options);
int RunRead(const CommonOptions& common, const ReadOptions& options);
int RunWrite(const CommonOptions& common, const WriteOptions& options);
int RunPoll(const CommonOptions& common, const PollOptions& options);
int RunWarmStart(const CommonOptions& common);
int RunDemo(const CommonOptions& common, const DemoOptions& options);

// What the commands share: the loaded driver, the station model file put in
// place, and an initialised QEL.
class HostContext {
public:
    ~HostContext();
    // Loads the driver; one line on stderr and false on failure.
    bool LoadDriver(const CommonOptions& common);
    // Puts the model file in place and initialises the QEL: the driver's
    // result, with one clear line on stderr when it is not 0.
    int Open(const CommonOptions& common);
    // Checks a gate: 0, or 1 with "gate X is illegal ..." on stderr.
    int CheckGate(Gate& gate, bool quiet = false);
    // One line on stderr for a failed read or write of a gate.
    void ReportFailure(const char* what, const Gate& gate, int result) const;

    DriverLibrary driver;
    QelSession& session() { return *session_; }

private:
    std::unique_ptr<QelSession> session_;
    std::string workDir_;
    std::string modelCopy_;
    std::string port_;
};

}  // namespace qelhost
