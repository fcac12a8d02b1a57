// The line a Python `vuzorur.Line` holds: the session with the driver, the
// line scheduler that owns the port, and the gate access both front-ends
// share (session/gates/gate_access.h). Plain C++, no Python: the bindings
// (vuzorur_module.cpp) call it with the GIL released.
//
// Thread-safe: reads and writes from several threads queue on the
// scheduler, each its own client; a scan and Close wait for them and have
// the line to themselves.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/line_file.h"
#include "session/gates/gate_access.h"
#include "session/gates/tag_table.h"
#include "session/line/line_stats.h"

namespace qel::session {
class HostContext;
class QelSession;
}  // namespace qel::session

namespace qel::python {

struct LineSettings {
    std::string port;
    unsigned baud = 9600;
    unsigned dataBits = 8;
    std::string parity = "even";
    std::string stopBits = "1";
    double timeout = 1.0;  // seconds: the ceiling of an attempt's time-out
    std::map<unsigned, std::string> stations;  // station -> "FA2" / "FA3"
    std::string models;   // a station model file
    std::string driver;   // the driver library; empty: found beside the module
    std::string log;      // the driver's log file; empty: no log
    bool driverRetries = false;
    double probeTimeout = 0.1;  // seconds
    double downHold = 10.0;     // seconds: the longest pause between probes of a down station
    int qel = 1;
};

// Why a line could not be opened (bad settings, the port), in words; the
// warnings about the station model file are in `warnings`.
struct OpenError : std::runtime_error {
    OpenError(const std::string& what, bool setting) : std::runtime_error(what), badSetting(setting) {}
    bool badSetting;
};

// Raised by calls on a closed line.
struct ClosedError : std::runtime_error {
    ClosedError() : std::runtime_error("the line is closed") {}
};

// Raised by calls in a child process on a line its parent opened before
// fork(): the child has none of the line's threads, and its copy of the
// port is the parent's.
struct ForkedError : std::runtime_error {
    explicit ForkedError(long parent)
        : std::runtime_error("this Line was opened by process " + std::to_string(parent) +
                             " before fork(); a child process opens a Line of its own") {}
};

// The settings' mistakes, checked before anything is opened: empty when
// they hold, else "parameter: what is wrong; what is accepted".
std::string RefuseSettings(const LineSettings& settings);
// Why text cannot name a gate before the driver looks at it (a NUL or
// another control byte, which the driver would cut the text at); empty when
// it can.
std::string RefuseGateText(const std::string& gas);

// The driver the module loads when none is named: beside the module (the
// build tree links it there), or in the library directory of the
// installation the module lies in.
std::string DefaultDriverPath();

class Line {
public:
    // Opens the port and the QEL; OpenError on failure. The process's
    // working directory is the same after as before.
    explicit Line(const LineSettings& settings);
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // `client`: from NewClient, for Withdraw; 0: one of the call's own.
    session::GateResult Read(const std::string& gas, int count, std::uint64_t client = 0);
    session::GateResult Write(const std::string& gas, long long value, std::uint64_t client = 0);
    std::uint64_t NewClient();
    // The caller of a Read or Write gave up (Ctrl-C): what has not begun on
    // the line is dropped.
    void Withdraw(std::uint64_t client);
    // Checks gates for a poll: data type from the area, count 1 unless given.
    std::vector<session::GateResult> Check(std::vector<session::Gate>& gates);
    std::vector<session::GateResult> ReadMany(const std::vector<session::Gate>& gates);
    // The named tags of a gate list's lines (session/gates/tag_table.h),
    // each checked by the driver; std::invalid_argument with
    // "origin:line: reason" for a list in error.
    std::shared_ptr<const session::TagTable> LoadTags(const std::vector<common::TextLine>& lines,
                                                      const std::string& origin);
    // `client` as for Read and Write.
    session::TagResult ReadTag(const session::TagTable& tags, const std::string& name, std::uint64_t client = 0);
    session::TagResult WriteTag(const session::TagTable& tags, const std::string& name, double value,
                                std::uint64_t client = 0);
    // Probes each station: {station: "FA2" / "FA3" / "unknown" / "garbled"}
    // for those that answer. The line scheduler stops meanwhile. Once
    // `cancel` is set no further station is probed.
    std::map<unsigned, std::string> Scan(const std::vector<unsigned>& stations,
                                         const std::atomic<bool>* cancel = nullptr);
    session::LineSnapshot Stats();
    void Close();
    bool Closed() const;

    const std::vector<std::string>& warnings() const { return warnings_; }
    std::string Describe() const;

private:
    void Start();  // the scheduler and the gate access on it
    // In a child after fork(): raises ForkedError.
    void Owned() const;
    bool Forked() const;
    // Lets go of everything without closing or joining: a child has not
    // the threads to join, and the parent's mutexes may be held for good.
    void Forget();
    // The device leaves this process's list of held lines.
    void Release();

    mutable std::shared_mutex mutex_;
    LineSettings settings_;
    std::unique_ptr<session::HostContext> host_;
    std::unique_ptr<session::QelSession> checks_;
    std::unique_ptr<session::LineScheduler> scheduler_;
    std::unique_ptr<session::GateAccess> access_;
    std::vector<std::string> warnings_;
    std::string workDir_;  // where the session keeps its station model file, if anywhere
    std::string device_;   // the port's device, held in this process's list of open lines
    long owner_;           // the process that opened it
};

}  // namespace qel::python
