// The qelhost commands. Each returns the process's exit code.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/exit_codes.h"
#include "cli/report_printer.h"
#include "cli/setting_words.h"
#include "session/host_context.h"

namespace qel::qelhost {

// The program works in the session library's terms throughout, and gives
// the exit codes of host_cli.
using namespace qel::session;
using namespace qel::cli;

// The options every command takes: the line, the station models, the driver.
using CommonOptions = SessionOptions;

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
    bool stats = false;     // the line scheduler's per-station table at the end and on each redraw
};

struct ScanOptions {
    std::string stations = "0-255";
    std::string format = "table";
    std::string writeModels;  // a station model file to write
};

// Every change of a gate list's elements, with its time, into a recording
// (record_command.cpp); or, with `exportFormat`, a recording printed.
struct RecordOptions {
    std::string gatesFile;    // the publish lists' format: GAS [COUNT] [bit|word] [PERIOD] [tag fields]
    std::string outFile;      // the recording, SQLite
    std::string max;          // its bound: "100MB", "24h", "100MB,24h"; empty: none
    double period = 1;        // seconds, for a gate listed without one
    long rounds = 0;          // 0: until interrupted
    std::string exportFormat; // "csv": print the recording named by outFile instead
};

struct SnapshotOptions {
    std::string stations;  // empty: scan 0-255 first
    std::string out;       // the folder of fasim.conf and memory.txt
    bool force = false;    // write into an existing folder
};

struct DemoOptions {
    std::string fasimPath;
};

// The gate check: true when the driver accepts the gate; else false after one
// line on stderr that explains the address, after `where` (a list's
// "FILE:LINE: ").
bool GateChecked(HostContext& host, Gate& gate, const std::string& where = "");
// One line on stderr for a failed read or write, after the session found out
// why; the exit code to give.
int ReportFailure(HostContext& host, const Gate& gate, const Outcome& outcome, bool write, std::uint16_t value = 0);

int RunDescribe(const CommonOptions& common);
int RunCheck(const CommonOptions& common, const CheckOptions& options);
int RunRead(const CommonOptions& common, const ReadOptions& options);
int RunWrite(const CommonOptions& common, const WriteOptions& options);
int RunPoll(const CommonOptions& common, const PollOptions& options);
int RunWarmStart(const CommonOptions& common);
int RunRecord(const CommonOptions& common, const RecordOptions& options);
int RunRecordExport(const RecordOptions& options);
// "2026-12-08T20:06:22.123Z": UTC milliseconds as ISO 8601.
std::string IsoMillis(std::int64_t millis);
int RunDemo(const CommonOptions& common, const DemoOptions& options);
int RunScan(const CommonOptions& common, const ScanOptions& options);
int RunSnapshot(const CommonOptions& common, const SnapshotOptions& options);
// qelhost's version and the driver's, from its banner and its version message.
int RunVersion(const CommonOptions& common);

}  // namespace qel::qelhost
