// qelhost: a command-line host for the FA-series driver. It loads the driver
// library, initialises a QEL and checks, reads, writes and polls gates the way
// a SCADA host does.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "commands.h"
#include "session/driver/driver_log.h"
#include "session/diagnosis/port_diagnosis.h"
#include "cli/usage_hint.h"
#include "cli/report_printer.h"
#include "cli/session_cli.h"

namespace {

using namespace qel::qelhost;

// The commands that talk on the line need a port named.
bool PortNamed(const CLI::App* command, const CommonOptions& common) {
    if (!common.line.port.empty()) return true;
    std::cerr << "qelhost: " << command->get_name()
              << " uses the line: name the serial port with --port, e.g. --port ttyUSB0; " << SerialDevicesHint()
              << "\n";
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    qel::cli::PrintReports("qelhost");
    CLI::App app{"qelhost - try a line, check gate addresses, read, write and poll FA-2/FA-3 controllers "
                 "through the driver, as a SCADA host does."};
    app.require_subcommand(0, 1);
    app.fallthrough();
    CommonOptions common;
    qel::cli::AddSessionOptions(app, common);
    bool version = false;
    app.add_flag("--version", version, "print qelhost's version and the driver's, then exit");

    auto* describe = app.add_subcommand("describe", "show what the driver tells a host about itself, and its banner");

    CheckOptions check;
    auto* checkCmd = app.add_subcommand("check", "check gate addresses: legal or illegal, with what the driver stores");
    checkCmd->add_option("GAS", check.gates, "gate addresses, e.g. 001DR0399 012IO157 005FORCE")->required();
    checkCmd->add_option("--block", check.count, "check as a block gate of COUNT elements")->check(CLI::Range(0, 100000));
    auto* bitFlag = checkCmd->add_flag("--bit", check.bit, "the gate holds bits (default: from the area)");
    checkCmd->add_flag("--word", check.word, "the gate holds words (default: from the area)")->excludes(bitFlag);

    ReadOptions read;
    auto* readCmd = app.add_subcommand("read", "read a gate, or a block of COUNT elements");
    readCmd->add_option("GAS", read.gas, "gate address, e.g. 001DR0010")->required();
    readCmd->add_option("--count", read.count, "number of elements (a block when above 1)")->check(CLI::Range(1, 100));
    readCmd->add_option("--format", read.format, "table|csv|json")->check(CLI::IsMember({"table", "csv", "json"}));

    WriteOptions write;
    auto* writeCmd = app.add_subcommand(
        "write", "write values to gates, in order, in one session (e.g. 002FORCE 1 002IO0005 1 002FORCE 0); "
                 "one exchange per gate, because the controller writes one value per frame");
    writeCmd->add_option("GAS VALUE", write.pairs,
                         "gate address and value, repeated; a value is 0..65535, decimal or 0x hex, 0 or 1 for bits")
        ->required()
        ->expected(2, -1);

    PollOptions poll;
    auto* pollCmd = app.add_subcommand(
        "poll", "read a list of gates in rounds until Ctrl-C (a second Ctrl-C quits at once), then print a summary; "
                "exit code 1 or 2 when reads failed in the last round");
    pollCmd->add_option("--gates", poll.gatesFile, "file with one gate per line: GAS [COUNT] [bit|word]")
        ->required()
        ->check(CLI::ExistingFile);
    pollCmd->add_option("--interval", poll.intervalMs, "pause between rounds in milliseconds (default 1000)")
        ->check(CLI::Range(0, 86400000));
    pollCmd->add_option("--format", poll.format, "table|csv|json (JSON lines)")
        ->check(CLI::IsMember({"table", "csv", "json"}));
    pollCmd->add_option("--rounds", poll.rounds, "stop after this many rounds (default: until Ctrl-C)")
        ->check(CLI::Range(1, 1000000000));
    pollCmd->add_flag("--no-merge", poll.noMerge,
                      "one exchange per gate, in the order of the list (default: gates of one station and area "
                      "are read in blocks, each station selected once per round)");
    pollCmd->add_flag("--plan", poll.planOnly,
                      "print the exchanges of one round with their predicted times, and send nothing");
    pollCmd->add_flag("--watch", poll.watch, "show a compact table of the gates, redrawn in place on a terminal");
    pollCmd->add_flag("--stats", poll.stats,
                      "print the line's per-station table (state, attempts, failures, answer times) at the end "
                      "and on each --watch redraw");

    ScanOptions scan;
    auto* scanCmd = app.add_subcommand(
        "scan",
        "find the stations that answer and the model of each: a selection, then a read that only an FA-3 answers "
        "and, failing that, one that only an FA-2 answers; a station that answers its selection but neither read "
        "is listed as unknown");
    scanCmd->add_option("--stations", scan.stations, "stations to probe, a range or a list: 0-255 (default), 1,2,10-20");
    scanCmd->add_option("--format", scan.format, "table|csv|json")->check(CLI::IsMember({"table", "csv", "json"}));
    scanCmd->add_option("--write-models", scan.writeModels,
                        "write the FA2 and FA3 stations found to this station model file, for --models");

#if defined(QELHOST_RECORD)
    RecordOptions record;
    auto* recordCmd = app.add_subcommand(
        "record", "read a gate list in rounds until Ctrl-C and keep every change of its elements, with its time, in a "
                  "recording (SQLite) for fasim --replay; with --export csv, print a recording's changes instead");
    recordCmd->add_option("--gates", record.gatesFile,
                          "file with one gate per line: GAS [COUNT] [bit|word] [PERIOD], as qelgate --publish reads it")
        ->check(CLI::ExistingFile);
    recordCmd->add_option("--out", record.outFile, "the recording: FILE.db, made or continued")->required();
    recordCmd->add_option("--max", record.max,
                          "bound of the recording, the oldest changes dropped first: a size (100MB), an age (24h) "
                          "or both (100MB,24h); default none");
    recordCmd->add_option("--period", record.period, "seconds between reads of a gate listed without a period (default 1)")
        ->check(CLI::Range(0.001, 86400.0));
    recordCmd->add_option("--rounds", record.rounds, "stop after this many rounds (default: until Ctrl-C)")
        ->check(CLI::Range(1, 1000000000));
    recordCmd->add_option("--export", record.exportFormat,
                          "print the recording --out as csv (time,station,gate,area,number,value; the time ISO 8601 "
                          "UTC with milliseconds) and read no line")
        ->check(CLI::IsMember({"csv"}));
#endif
    SnapshotOptions snapshot;
    auto* snapshotCmd = app.add_subcommand(
        "snapshot",
        "read every value of every station of the line, in the fewest exchanges, into a folder that fasim plays: "
        "fasim.conf (stations, models, line settings, turnarounds as measured) and memory.txt; exit code 2 when a "
        "station fell silent (its missing areas are named and left out of memory.txt)");
    snapshotCmd->add_option("--stations", snapshot.stations,
                            "stations to read, a range or a list: 1,2,10-20 (default: scan 0-255 first)");
    snapshotCmd->add_option("--out", snapshot.out, "the folder to write, made if absent")->required();
    snapshotCmd->add_flag("--force", snapshot.force, "write into an existing folder, replacing its snapshot files");

    auto* warm = app.add_subcommand("warm-start", "initialise the QEL, then warm start it");

    DemoOptions demo;
    auto* demoCmd = app.add_subcommand("demo", "run a session against the built-in simulator and show each step");
    demoCmd->add_option("--fasim", demo.fasimPath, "simulator program (default: fasim beside qelhost)");

    // Each command's --help lists the line and session options too; given
    // before or after the command, they fill the same settings.
    for (CLI::App* command : app.get_subcommands({})) {
        qel::cli::AddSessionOptions(*command->add_option_group("Line and session options"), common);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "qelhost: " << qel::cli::UsageHint(app, e, std::vector<std::string>(argv + 1, argv + argc))
                  << " (see qelhost --help)\n";
        return kExitUsage;
    }

    if (!RouteDriverLog(common.verbose, common.logFile, qel::cli::Printer())) {
        std::cerr << "qelhost: cannot write the log file " << common.logFile << "\n";
        return kExitUsage;
    }
    if (version) return RunVersion(common);
    if (app.get_subcommands().empty()) {
        std::cerr << "qelhost: name a command: describe, check, read, write, poll, record, scan, snapshot, warm-start or demo "
                     "(see qelhost --help)\n";
        return kExitUsage;
    }
#if defined(QELHOST_RECORD)
    if (recordCmd->parsed() && !record.exportFormat.empty()) return RunRecordExport(record);
    if (recordCmd->parsed() && record.gatesFile.empty()) {
        std::cerr << "qelhost: record needs --gates FILE, the gates to record (or --export csv to print a recording)\n";
        return kExitUsage;
    }
    if (recordCmd->parsed() && !PortNamed(recordCmd, common)) return kExitUsage;
    if (recordCmd->parsed()) return RunRecord(common, record);
#endif
    if (pollCmd->parsed() && poll.watch && poll.format != "table") {
        std::cerr << "qelhost: poll --watch draws a table for people and writes no " << poll.format
                  << "; for " << poll.format << " lines leave out --watch\n";
        return kExitUsage;
    }
    for (const CLI::App* command : {readCmd, writeCmd, pollCmd, scanCmd, snapshotCmd, warm}) {
        // poll --plan only shows the plan: it needs no line.
        if (command == pollCmd && poll.planOnly) continue;
        if (command->parsed() && !PortNamed(command, common)) return kExitUsage;
    }

    if (describe->parsed()) return RunDescribe(common);
    if (checkCmd->parsed()) return RunCheck(common, check);
    if (readCmd->parsed()) return RunRead(common, read);
    if (writeCmd->parsed()) return RunWrite(common, write);
    if (pollCmd->parsed()) return RunPoll(common, poll);
    if (scanCmd->parsed()) return RunScan(common, scan);
    if (snapshotCmd->parsed()) return RunSnapshot(common, snapshot);
    if (warm->parsed()) return RunWarmStart(common);
    if (demoCmd->parsed()) return RunDemo(common, demo);
    return kExitUsage;
}
