// qelgate: FA-2/FA-3 controllers as a Modbus TCP server. Each FA station is a
// Modbus unit; reads and writes become the driver's exchanges on the one
// serial line, shared fairly by every client.
#include <CLI/CLI.hpp>
#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>
#include <unistd.h>

#include "cp437.h"
#include "driver_log.h"
#include "gateway_log.h"
#include "gateway_server.h"
#include "host_context.h"
#include "http_server.h"
#include "model_directory.h"
#include "plan_link.h"
#include "program_name.h"
#include "service_notify.h"
#include "session_cli.h"

namespace {

using namespace qelgate;

using qelhost::kExitLine;
using qelhost::kExitUsage;

struct Options {
    qelhost::SessionOptions session;  // the line, the station models, the driver and its log, -v
    std::string listen = "127.0.0.1:1502";
    int maxClients = 8;
    bool allowWrites = false;
    std::string writeAllowFile;
    double downHoldSeconds = 10;
    bool map = false;
    std::string http;  // empty: no HTTP diagnostics
};

int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto ignored = write(stopPipe[1], &byte, 1);
}

void AddOptions(CLI::App& app, Options& o) {
    qelhost::AddSessionOptions(app, o.session);
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
    app.add_flag("--map", o.map, "print the Modbus address map and exit");
    app.add_option("--http", o.http,
                   "serve the diagnostics (/metrics, /api/status, a status page) on ADDR:PORT, or PORT on "
                   "127.0.0.1 (default: off)");
}

std::string Describe(const Options& o, const std::string& port, const qelhost::QelSession& checks,
                     std::size_t allowed) {
    std::string text = "serving " + port + " on " + o.listen + ", ";
    text += !o.allowWrites ? "read-only" : o.writeAllowFile.empty() ? "writes allowed"
                                                                    : std::to_string(allowed) + " gates writable";
    std::string fa3;
    for (unsigned station = 0; station < 256; ++station)
        if (checks.StationModel(station) != "FA2") fa3 += " " + std::to_string(station);
    text += fa3.empty() ? ", every station FA2" : ", FA3 stations:" + fa3 + ", the others FA2";
    return text;
}

// What the diagnostics report: the line's and the Modbus side's counters,
// the version, the driver's banner and the line settings.
qelhttp::StatusSource DiagnosticsSource(qelhost::HostContext& host, const qelhost::QelSession& checks,
                                        const qelhost::FrontEndStats& modbus) {
    qelhttp::StatusSource source;
    // TODO(lead): the line scheduler's snapshot, once it is merged:
    //   source.line = [&scheduler] { return scheduler.Snapshot(); };
    // Until then no line statistics are reported.
    source.frontEnds.push_back({"modbus", [&modbus] { return modbus.Take(); }});
    source.version = QELGATE_VERSION;
    DriverInfo info{};
    if (checks.Describe(info) == 0 && info.bannerText != nullptr)
        source.driverBanner = qelhost::Cp437ToUtf8(info.bannerText);
    const qelhost::LineOptions& line = host.line();
    source.port = {host.portName(), line.baud, line.dataBits, line.parity, line.stopBits, line.timeout};
    source.started = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return source;
}

int Serve(Options& o) {
    if (!qelhost::RouteDriverLog(o.session.verbose, o.session.logFile)) {
        Log("cannot write the log file %s", o.session.logFile.c_str());
        return kExitUsage;
    }
    // Named from where the program started; the session may change the directory.
    if (!o.writeAllowFile.empty()) o.writeAllowFile = qelhost::Absolute(o.writeAllowFile);

    // The line's session (station models, port), used by the line worker
    // only, and a session without a line for the gate checks, used by the
    // server thread only.
    qelhost::HostContext host;
    if (const int opened = host.Open(o.session); opened != 0) return opened == kExitUsage ? kExitUsage : kExitLine;
    qelhost::QelSession& line = host.session();
    qelhost::QelSession checks(host.driver);
    qelhost::LineOptions noLine = host.line();
    noLine.port.clear();
    checks.Init(noLine);
    const GateCheck check = [&checks](qelhost::Gate& gate) { return checks.Check(gate) == 0; };

    std::string error;
    WriteAllowList allowList;
    if (!o.writeAllowFile.empty() && !allowList.Load(o.writeAllowFile, check, error)) {
        Log("%s", error.c_str());
        return kExitUsage;
    }
    const RequestPlanner planner(qelhost::PlanDriverOf(checks), check, qelhost::PlanOptionsFor(host.line()),
                                 WritePolicy{o.allowWrites, o.writeAllowFile.empty() ? nullptr : &allowList});
    DownHold hold(std::chrono::milliseconds(static_cast<long long>(o.downHoldSeconds * 1000)));
    LineWorker worker(line, hold);
    GatewayServer server(planner, worker, hold, o.maxClients);
    if (!server.Listen(o.listen, error)) {
        Log("%s", error.c_str());
        return kExitUsage;
    }
    // TODO(lead): hand modbusStats to GatewayServer once it counts into a FrontEndStats.
    qelhost::FrontEndStats modbusStats;
    std::unique_ptr<qelhttp::HttpServer> http;
    if (!o.http.empty()) {
        http = std::make_unique<qelhttp::HttpServer>(DiagnosticsSource(host, checks, modbusStats));
        if (!http->Listen(o.http, error)) {
            Log("%s", error.c_str());
            return kExitUsage;
        }
    }

    if (pipe2(stopPipe, O_CLOEXEC) != 0) return kExitLine;
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGPIPE, SIG_IGN);
    Log("%s", Describe(o, host.portName(), checks, allowList.Size()).c_str());
    if (http) {
        http->Start();
        Log("diagnostics on %s", http->Url().c_str());
    }
    worker.Start();
    qelhost::NotifyReady();
    // TODO(lead): ping from the line scheduler's onLoop instead
    //   (scheduler.onLoop = qelhost::NotifyWatchdog;) and drop this thread,
    //   which vouches only that the process runs.
    std::atomic<bool> serving = true;
    std::thread watchdog([&serving] {
        while (serving) {
            qelhost::NotifyWatchdog();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    server.Run(stopPipe[0]);
    qelhost::NotifyStopping();
    serving = false;
    watchdog.join();
    Log("stopping: finishing the exchange under way");
    if (http) http->Stop();
    worker.Stop();
    checks.Close();  // the line closes with its session
    Log("stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    qelhost::SetProgramName("qelgate");
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
    if (options.session.line.port.empty()) {
        std::cerr << "qelgate: --port is required: the serial port of the FA line, e.g. --port ttyUSB0\n";
        return kExitUsage;
    }
    return Serve(options);
}
