// qelgate: FA-2/FA-3 controllers as a Modbus TCP server. Each FA station is a
// Modbus unit; reads and writes become the driver's exchanges on the one
// serial line, shared fairly by every client.
#include <CLI/CLI.hpp>
#include <fcntl.h>

#include <bitset>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <cstdio>
#include <iostream>
#include <memory>
#include <unistd.h>

#include "session/cp437.h"
#include "session/driver_log.h"
#include "modbus/gateway_log.h"
#include "modbus/gateway_server.h"
#include "session/host_context.h"
#include "http/http_server.h"
#include "session/line_scheduler.h"
#include "session/model_directory.h"
#include "mqtt/mqtt_options.h"
#include "mqtt/mqtt_publisher.h"
#include "session/plan_link.h"
#include "session/program_name.h"
#include "session/service_notify.h"
#include "cli/session_cli.h"
#include "session/station_option.h"

namespace qel::qelgate {
namespace {

using namespace qel::modbus;

using session::kExitLine;
using session::kExitUsage;

struct Options {
    session::SessionOptions session;  // the line, the station models, the driver and its log, -v
    std::string listen = "127.0.0.1:1502";
    int maxClients = 8;
    int clientIdleSeconds = 300;
    std::string units;
    bool knownUnitsOnly = false;
    bool allowWrites = false;
    std::string writeAllowFile;
    double downHoldSeconds = 10;
    double statsInterval = 0;
    bool map = false;
    std::string http;  // empty: no HTTP diagnostics
    mqtt::MqttOptions mqtt;
};

int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto ignored = write(stopPipe[1], &byte, 1);
}

void AddOptions(CLI::App& app, Options& o) {
    cli::AddSessionOptions(app, o.session);
    app.add_option("--listen", o.listen, "Modbus TCP address and port (default 127.0.0.1:1502)");
    app.add_option("--max-clients", o.maxClients,
                   "clients served at once; a new one evicts the client idle longest (default 8)")
        ->check(CLI::Range(1, 1000));
    app.add_option("--client-idle", o.clientIdleSeconds,
                   "seconds a client may send nothing, with nothing under way, before it is closed (default 300)")
        ->check(CLI::Range(1, 86400));
    auto* units = app.add_option("--units", o.units,
                                 "the only units served, e.g. 1,2,7-9; others get exception 0x0A at once");
    app.add_flag("--known-units-only", o.knownUnitsOnly,
                 "serve only the stations named by --models or --station; others get exception 0x0A at once")
        ->excludes(units);
    app.add_flag("--allow-writes", o.allowWrites, "serve the write functions (default: read-only)");
    app.add_option("--write-allow", o.writeAllowFile,
                   "only the gates in FILE may be written, by Modbus or MQTT (lines: GAS [COUNT])")
        ->check(CLI::ExistingFile);
    app.add_option("--down-hold", o.downHoldSeconds,
                   "longest pause in seconds between two probes of a station that stopped answering; until a "
                   "probe is answered its requests get exception 0x0B at once (default 10)")
        ->check(CLI::Range(0.0, 86400.0));
    app.add_option("--stats-interval", o.statsInterval,
                   "log a one-line summary of the line every SECONDS (default 0: never)")
        ->check(CLI::Range(0.0, 86400.0));
    app.add_flag("--map", o.map, "print the Modbus address map and exit");
    app.add_option("--http", o.http,
                   "serve the diagnostics (/metrics, /api/status, a status page) on ADDR:PORT, or PORT on "
                   "127.0.0.1 (default: off)");
    mqtt::AddMqttOptions(app, o.mqtt);
}

std::string Describe(const Options& o, const std::string& port, const session::QelSession& checks,
                     std::size_t allowed, const std::bitset<256>& units) {
    std::string text = "serving " + port + " on " + o.listen + ", ";
    text += !o.allowWrites ? "read-only" : o.writeAllowFile.empty() ? "writes allowed"
                                                                    : std::to_string(allowed) + " gates writable";
    std::string fa3;
    for (unsigned station = 0; station < 256; ++station)
        if (session::StationKindOf(checks.StationModel(station)) != session::StationKind::FA2) fa3 += " " + std::to_string(station);
    text += fa3.empty() ? ", every station FA2" : ", FA3 stations:" + fa3 + ", the others FA2";
    if (!units.all()) {
        text += ", units served:";
        for (unsigned unit = 0; unit < units.size(); ++unit)
            if (units.test(unit)) text += " " + std::to_string(unit);
    }
    return text;
}

// Called by the line's thread each turn: a summary line every `interval` seconds.
std::function<void()> StatsLogger(const session::LineScheduler& scheduler, double interval) {
    if (interval <= 0) return {};
    auto next = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    return [&scheduler, interval, next] {
        const auto now = std::chrono::steady_clock::now();
        if (now < *next) return;
        *next = now + std::chrono::milliseconds(static_cast<long long>(interval * 1000));
        const session::LineSnapshot snapshot = scheduler.Snapshot();
        std::uint64_t attempts = 0, failures = 0;
        std::string down;
        for (const session::StationStats& s : snapshot.stations) {
            attempts += s.attempts;
            for (std::size_t k = 1; k < s.failures.size(); ++k) failures += s.failures[k];
            if (s.state != session::StationState::Up) down += " " + std::to_string(s.station);
        }
        Log("line: busy %.0f%% (last minute), %.1f exchanges/s, queue %zu (max %zu), %llu attempts, %llu failed, "
            "%llu line errors, %llu port reopens, down:%s",
            snapshot.line.busyShareMinute * 100, snapshot.line.exchangesPerSecond, snapshot.line.queueDepth,
            snapshot.line.queueDepthMax, static_cast<unsigned long long>(attempts),
            static_cast<unsigned long long>(failures), static_cast<unsigned long long>(snapshot.line.lineErrors),
            static_cast<unsigned long long>(snapshot.line.portReopens), down.empty() ? " none" : down.c_str());
    };
}

// What the diagnostics report: the line's counters, the Modbus side's and
// (with --mqtt) the MQTT side's, the version, the driver's banner and the
// line settings.
http::StatusSource DiagnosticsSource(session::HostContext& host, const session::QelSession& checks,
                                        const session::LineScheduler& scheduler,
                                        const session::FrontEndStats& modbus, const mqtt::MqttPublisher* mqtt) {
    http::StatusSource source;
    source.line = [&scheduler] { return scheduler.Snapshot(); };
    source.frontEnds.push_back({"modbus", [&modbus] { return modbus.Take(); }});
    if (mqtt) source.frontEnds.push_back({"mqtt", [mqtt] { return mqtt->TakeStats(); }});
    source.version = QELGATE_VERSION;
    DriverInfo info{};
    if (checks.Describe(info) == 0 && info.bannerText != nullptr)
        source.driverBanner = session::Cp437ToUtf8(info.bannerText);
    const session::LineOptions& line = host.line();
    source.port = {host.portName(), line.baud, line.dataBits, line.parity, line.stopBits, line.timeout};
    source.started = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return source;
}

int Serve(Options& o) {
    if (!session::RouteDriverLog(o.session.verbose, o.session.logFile)) {
        Log("cannot write the log file %s", o.session.logFile.c_str());
        return kExitUsage;
    }
    // Named from where the program started; the session may change the directory.
    if (!o.writeAllowFile.empty()) o.writeAllowFile = session::Absolute(o.writeAllowFile);
    std::string error;
    if (!mqtt::CompleteMqttOptions(o.mqtt, o.session.line.port, error)) {
        Log("%s", error.c_str());
        return kExitUsage;
    }

    // The line's session (station models, port), used by the line worker
    // only, and a session without a line for the gate checks, used by the
    // server thread only.
    session::HostContext host;
    if (const int opened = host.Open(o.session); opened != QEL_RESULT_DONE) return opened == kExitUsage ? kExitUsage : kExitLine;
    session::QelSession& line = host.session();
    session::QelSession checks(host.driver);
    session::LineOptions noLine = host.line();
    noLine.port.clear();
    checks.Init(noLine);
    const GateCheck check = [&checks](session::Gate& gate) { return checks.Check(gate) == QEL_RESULT_DONE; };

    WriteAllowList allowList;
    if (!o.writeAllowFile.empty() && !allowList.Load(o.writeAllowFile, check, error)) {
        Log("%s", error.c_str());
        return kExitUsage;
    }
    const RequestPlanner planner(session::PlanDriverOf(checks), check, session::PlanOptionsFor(host.line()),
                                 WritePolicy{o.allowWrites, o.writeAllowFile.empty() ? nullptr : &allowList});
    ServerLimits limits;
    limits.maxClients = static_cast<std::size_t>(o.maxClients);
    limits.clientIdle = std::chrono::seconds(o.clientIdleSeconds);
    if (!o.units.empty()) {
        std::vector<unsigned> stations;
        if (!session::ParseStationList(o.units, stations, error)) {
            Log("--units: %s", error.c_str());
            return kExitUsage;
        }
        limits.units.reset();
        for (const unsigned station : stations) limits.units.set(station);
    } else if (o.knownUnitsOnly) {
        limits.units.reset();
        for (unsigned station = 0; station < limits.units.size(); ++station)
            if (host.models().named[station]) limits.units.set(station);
        if (limits.units.none()) {
            Log("--known-units-only: neither --models nor --station names a station");
            return kExitUsage;
        }
    }
    session::SchedulerOptions lineOptions = session::SchedulerOptionsFor(o.session);
    lineOptions.downHold = std::chrono::milliseconds(static_cast<long long>(o.downHoldSeconds * 1000));
    session::LineScheduler scheduler(line, lineOptions);
    // Each turn of the line's loop pings systemd's watchdog, so a hung
    // exchange stops the pings; and logs the summary when it is due.
    scheduler.onLoop = [stats = StatsLogger(scheduler, o.statsInterval)] {
        session::NotifyWatchdog();
        if (stats) stats();
    };
    LineWorker worker(scheduler);
    std::unique_ptr<mqtt::MqttPublisher> publisher;
    if (!o.mqtt.url.empty()) {
        publisher = std::make_unique<mqtt::MqttPublisher>(scheduler, o.mqtt,
                                                             [](const std::string& text) { Log("%s", text.c_str()); });
        if (!publisher->Prepare(check, session::PlanDriverOf(checks), session::PlanOptionsFor(host.line()),
                                o.writeAllowFile.empty() ? nullptr : &allowList, error)) {
            Log("%s", error.c_str());
            return kExitUsage;
        }
    }
    GatewayServer server(planner, worker, limits);
    if (const ListenResult listening = server.Listen(o.listen, error); listening != ListenResult::Ok) {
        Log("%s", error.c_str());
        return listening == ListenResult::BadAddress ? kExitUsage : kExitLine;
    }
    std::unique_ptr<http::HttpServer> http;
    if (!o.http.empty()) {
        http = std::make_unique<http::HttpServer>(DiagnosticsSource(host, checks, scheduler, server.Stats(),
                                                                     publisher.get()));
        if (!http->Listen(o.http, error)) {
            Log("%s", error.c_str());
            std::string node;
            int port = 0;
            std::string why;
            // A malformed address is a usage error; one that can't be bound is a run-time failure.
            return http::ParseHttpAddress(o.http, node, port, why) ? kExitLine : kExitUsage;
        }
    }

    if (pipe2(stopPipe, O_CLOEXEC) != 0) return kExitLine;
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGPIPE, SIG_IGN);
    Log("%s", Describe(o, host.portName(), checks, allowList.Size(), limits.units).c_str());
    if (http) {
        http->Start();
        Log("diagnostics on %s", http->Url().c_str());
    }
    worker.Start();
    if (publisher) {
        Log("%s", publisher->Describe().c_str());
        if (!publisher->Start(error)) {
            Log("%s", error.c_str());
            worker.Stop();
            return kExitUsage;
        }
    }
    session::NotifyReady();
    server.Run(stopPipe[0]);
    session::NotifyStopping();
    Log("stopping: finishing the exchange under way");
    if (http) http->Stop();
    if (publisher) publisher->Stop();
    worker.Stop();
    server.Finish();
    checks.Close();  // the line closes with its session
    Log("stopped");
    return 0;
}

}  // namespace
}  // namespace qel::qelgate

int main(int argc, char** argv) {
    using namespace qel::qelgate;
    namespace session = qel::session;
    session::SetProgramName("qelgate");
    CLI::App app{"qelgate - FA-2/FA-3 controllers on one serial line as a Modbus TCP server: the unit id is the "
                 "station, the address map is printed by --map. With --mqtt it publishes a list of gates to an MQTT "
                 "broker as well."};
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
    if (!options.writeAllowFile.empty() && !options.allowWrites && !options.mqtt.writes) {
        std::cerr << "qelgate: --write-allow needs --allow-writes or --mqtt-writes\n";
        return kExitUsage;
    }
    return Serve(options);
}
