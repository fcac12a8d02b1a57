// qelhost: a command-line host for the FA-series driver. It loads the driver
// library, initialises a QEL and checks, reads, writes and polls gates the way
// a SCADA host does.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "commands.h"
#include "kestan.h"

namespace {

using namespace qelhost;

void AddLineOptions(CLI::App& app, CommonOptions& o) {
    app.add_option("--port", o.line.port,
                   "serial port: ttyUSB0 (taken under /dev), a path of at most 11 characters, or COM1 on Windows");
    app.add_option("--baud", o.line.baud, "line speed in baud (default 9600)")->check(CLI::Range(50u, 65535u));
    app.add_option("--data-bits", o.line.dataBits, "data bits (default 8)")->check(CLI::Range(5u, 8u));
    app.add_option("--parity", o.line.parity, "none|odd|even|mark|space (default even)")
        ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}));
    app.add_option("--stop-bits", o.line.stopBits, "1|1.5|2 (default 1)")->check(CLI::IsMember({"1", "1.5", "2"}));
    app.add_option("--timeout", o.line.timeout, "read time-out in 10 ms units (default 100 = 1 s)")
        ->check(CLI::Range(1, 100000));
    app.add_option("--qel", o.line.qel, "QEL number; also names the station model file davEVnn.int (default 1)")
        ->check(CLI::Range(0, 9999));
    app.add_option("--models", o.modelsFile, "station model file, used as davEVnn.int for this run")
        ->check(CLI::ExistingFile);
    app.add_option("--driver", o.driverPath, "driver library to load (default: the one beside qelhost)");
    app.add_option("--log", o.logFile, "append the driver's messages to this file instead of stderr");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qelhost - try a line, check gate addresses, read, write and poll FA-2/FA-3 controllers "
                 "through the driver, as a SCADA host does."};
    app.require_subcommand(1);
    app.fallthrough();
    CommonOptions common;
    AddLineOptions(app, common);

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

    auto* warm = app.add_subcommand("warm-start", "initialise the QEL, then warm start it");

    DemoOptions demo;
    auto* demoCmd = app.add_subcommand("demo", "run a session against the built-in simulator and show each step");
    demoCmd->add_option("--fasim", demo.fasimPath, "simulator program (default: fasim beside qelhost)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "qelhost: " << e.what() << " (see qelhost --help)\n";
        return kExitUsage;
    }

    if (!common.logFile.empty() && KestanLogToFile(common.logFile.c_str()) != 0) {
        std::cerr << "qelhost: cannot write the log file " << common.logFile << "\n";
        return kExitUsage;
    }

    if (describe->parsed()) return RunDescribe(common);
    if (checkCmd->parsed()) return RunCheck(common, check);
    if (readCmd->parsed()) return RunRead(common, read);
    if (writeCmd->parsed()) return RunWrite(common, write);
    if (pollCmd->parsed()) return RunPoll(common, poll);
    if (warm->parsed()) return RunWarmStart(common);
    if (demoCmd->parsed()) return RunDemo(common, demo);
    return kExitUsage;
}
