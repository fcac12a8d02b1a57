// qelgate: FA-2/FA-3 controllers as a Modbus TCP server. Each FA station is a
// Modbus unit; reads and writes become the driver's exchanges on the one
// serial line, shared fairly by every client.
#include <CLI/CLI.hpp>
#include <fcntl.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <unistd.h>

#include "driver_library.h"
#include "gateway_log.h"
#include "gateway_server.h"
#include "kestan.h"
#include "model_directory.h"
#include "port_diagnosis.h"
#include "station_models.h"

namespace {

using namespace qelgate;

constexpr int kExitUsage = 64;
constexpr int kExitLine = 2;

struct Options {
    qelhost::LineOptions line;
    std::string modelsFile;
    std::vector<std::string> stations;
    std::string driverPath;
    std::string listen = "127.0.0.1:1502";
    int maxClients = 8;
    bool allowWrites = false;
    std::string writeAllowFile;
    double downHoldSeconds = 10;
    bool verbose = false;
    bool map = false;
};

int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto ignored = write(stopPipe[1], &byte, 1);
}

void AddOptions(CLI::App& app, Options& o) {
    app.add_option("--port", o.line.port, "serial port of the FA line: ttyUSB0 (under /dev) or a path of at most 11 characters");
    app.add_option("--baud", o.line.baud, "line speed in baud (default 9600)")->check(CLI::Range(50u, 65535u));
    app.add_option("--data-bits", o.line.dataBits, "data bits (default 8)")->check(CLI::Range(5u, 8u));
    app.add_option("--parity", o.line.parity, "none|odd|even|mark|space (default even)")
        ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}));
    app.add_option("--stop-bits", o.line.stopBits, "1|1.5|2 (default 1)")->check(CLI::IsMember({"1", "1.5", "2"}));
    app.add_option("--timeout", o.line.timeout, "read time-out in 10 ms units (default 100 = 1 s)")
        ->check(CLI::Range(1, 100000));
    app.add_option("--qel", o.line.qel, "QEL number; names the station model file davEVnn.int (default 1)")
        ->check(CLI::Range(0, 9999));
    app.add_option("--models", o.modelsFile, "station model file (lines like 002FA3)")->check(CLI::ExistingFile);
    app.add_option("--station", o.stations, "station N is of MODEL, e.g. 2:FA3 (repeatable; wins over --models)")
        ->check([](const std::string& text) { return CheckStationOption(text); });
    app.add_option("--driver", o.driverPath, "driver library to load (default: the one beside qelgate)");
    app.add_option("--listen", o.listen, "Modbus TCP address and port (default 127.0.0.1:1502)");
    app.add_option("--max-clients", o.maxClients, "clients served at once; more are refused (default 8)")
        ->check(CLI::Range(1, 1000));
    auto* allow = app.add_flag("--allow-writes", o.allowWrites, "serve the write functions (default: read-only)");
    app.add_option("--write-allow", o.writeAllowFile, "only the gates in FILE may be written (lines: GAS [COUNT])")
        ->check(CLI::ExistingFile)
        ->needs(allow);
    app.add_option("--down-hold", o.downHoldSeconds,
                   "seconds a station that did not answer is answered with exception 0x0B at once (default 10)")
        ->check(CLI::Range(0.0, 86400.0));
    app.add_flag("-v,--verbose", o.verbose, "add the driver's messages to the log");
    app.add_flag("--map", o.map, "print the Modbus address map and exit");
}

std::string Describe(const Options& o, const qelhost::QelSession& checks, std::size_t allowed) {
    std::string text = "serving " + o.line.port + " on " + o.listen + ", ";
    text += !o.allowWrites ? "read-only" : o.writeAllowFile.empty() ? "writes allowed"
                                                                    : std::to_string(allowed) + " gates writable";
    std::string fa3;
    for (unsigned station = 0; station < 256; ++station)
        if (checks.StationModel(station) != "FA2") fa3 += " " + std::to_string(station);
    text += fa3.empty() ? ", every station FA2" : ", FA3 stations:" + fa3 + ", the others FA2";
    return text;
}

int Serve(Options& o) {
    // Paths named relative to the start are kept before the working directory changes.
    if (o.line.port.find('/') != std::string::npos) {
        const std::string full = qelhost::Absolute(o.line.port);
        if (full.size() <= 11) o.line.port = full;
    }
    if (o.line.port.size() > 11) {
        Log("the port name %s is longer than 11 characters; link it to a shorter path (ln -s %s /tmp/fa0)",
            o.line.port.c_str(), o.line.port.c_str());
        return kExitUsage;
    }
    if (!o.writeAllowFile.empty()) o.writeAllowFile = qelhost::Absolute(o.writeAllowFile);
    if (!o.verbose) KestanLogToFile("/dev/null");

    std::string error, workDir, modelCopy;
    if (!o.modelsFile.empty() || !o.stations.empty()) {
        std::string combined;
        const bool ok = WriteModelFile(o.modelsFile, o.stations, combined, error) &&
                        qelhost::EnterModelDirectory(combined, o.line.qel, workDir, modelCopy, error);
        if (!combined.empty()) std::remove(combined.c_str());
        if (!ok) {
            Log("%s", error.c_str());
            return kExitUsage;
        }
    }
    struct Leave {
        std::string& dir;
        std::string& copy;
        ~Leave() { qelhost::LeaveModelDirectory(dir, copy); }
    } leave{workDir, modelCopy};

    qelhost::DriverLibrary driver;
    if (!driver.Load(o.driverPath.empty() ? qelhost::DriverLibrary::DefaultPath() : o.driverPath, error)) {
        Log("%s (name another with --driver PATH)", error.c_str());
        return kExitUsage;
    }
    // The line's session, used by the line worker only, and a session without
    // a line for the gate checks, used by the server thread only.
    qelhost::QelSession line(driver), checks(driver);
    if (line.Init(o.line) != 0) {
        Log("%s", qelhost::ExplainOpenFailure(o.line.port).c_str());
        return kExitLine;
    }
    qelhost::LineOptions noLine = o.line;
    noLine.port.clear();
    checks.Init(noLine);
    const GateCheck check = [&checks](qelhost::Gate& gate) { return checks.Check(gate) == 0; };

    WriteAllowList allowList;
    if (!o.writeAllowFile.empty() && !allowList.Load(o.writeAllowFile, check, error)) {
        Log("%s", error.c_str());
        return kExitUsage;
    }
    const RequestPlanner planner(check, [&checks](unsigned station) { return checks.StationModel(station); },
                                 WritePolicy{o.allowWrites, o.writeAllowFile.empty() ? nullptr : &allowList});
    DownHold hold(std::chrono::milliseconds(static_cast<long long>(o.downHoldSeconds * 1000)));
    LineWorker worker(line, hold);
    GatewayServer server(planner, worker, hold, o.maxClients);
    if (!server.Listen(o.listen, error)) {
        Log("%s", error.c_str());
        return kExitUsage;
    }

    if (pipe2(stopPipe, O_CLOEXEC) != 0) return kExitLine;
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGPIPE, SIG_IGN);
    Log("%s", Describe(o, checks, allowList.Size()).c_str());
    worker.Start();
    server.Run(stopPipe[0]);
    Log("stopping: finishing the exchange under way");
    worker.Stop();
    line.Close();
    checks.Close();
    Log("stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qelgate - FA-2/FA-3 controllers on one serial line as a Modbus TCP server: the unit id is the "
                 "station, the address map is printed by --map."};
    Options options;
    AddOptions(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::cerr << "qelgate: " << e.what() << " (see qelgate --help)\n";
        return kExitUsage;
    }
    if (options.map) {
        std::fputs(MapText().c_str(), stdout);
        return 0;
    }
    if (options.line.port.empty()) {
        std::cerr << "qelgate: --port is required: the serial port of the FA line, e.g. --port ttyUSB0\n";
        return kExitUsage;
    }
    return Serve(options);
}
