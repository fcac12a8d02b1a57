// qelgate: FA-2/FA-3 controllers as a Modbus TCP server. Each FA station is a
// Modbus unit; reads and writes become the driver's exchanges on the one
// serial line, shared fairly by every client.
#include <CLI/CLI.hpp>
#include <fcntl.h>

#include <bitset>
#include <fstream>
#include <mutex>
#include <chrono>
#include <csignal>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <unistd.h>

#include "session/driver/cp437.h"
#include "session/gates/gate_access.h"
#include "session/gates/tag_table.h"
#include "modbus/tag_map.h"
#include "session/gates/trend_history.h"
#include "cli/diagnosis_text.h"
#include "session/driver/driver_log.h"
#include "modbus/gateway_log.h"
#include "modbus/gateway_server.h"
#include "session/host_context.h"
#include "http/http_server.h"
#include "session/line/line_poller.h"
#include "session/line/line_scheduler.h"
#include "session/stations/model_directory.h"
#include "mqtt/mqtt_options.h"
#include "mqtt/mqtt_publisher.h"
#include "sparkplug/sparkplug_node.h"
#include "session/driver/plan_link.h"
#include "session/diagnosis/port_diagnosis.h"
#include "session/report/program_name.h"
#include "session/report/service_notify.h"
#include "cli/diagnosis_text.h"
#include "cli/exit_codes.h"
#include "cli/report_printer.h"
#include "cli/session_cli.h"
#include "session/stations/station_option.h"
#include "config_file.h"
#include "gate_options.h"
#include "reload_rules.h"

namespace qel::qelgate {
namespace {

using namespace qel::modbus;

using cli::kExitLine;
using cli::kExitUsage;

// On a stop, the requests begun on the line are finished for at most this long.
constexpr std::chrono::milliseconds kFinishOnStop{8000};

// The signals' bytes on one pipe: 'S' stop (SIGTERM, SIGINT), 'H' reload (SIGHUP).
int signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 'S';
    [[maybe_unused]] const auto ignored = write(signalPipe[1], &byte, 1);
}

void OnReloadSignal(int) {
    const char byte = 'H';
    [[maybe_unused]] const auto ignored = write(signalPipe[1], &byte, 1);
}

// Whether a stop is among the bytes waiting on the pipe (all are taken).
bool StopAsked() {
    char bytes[64];
    bool stop = false;
    for (ssize_t n; (n = read(signalPipe[0], bytes, sizeof bytes)) > 0;)
        for (ssize_t i = 0; i < n; ++i) stop = stop || bytes[i] == 'S';
    return stop;
}

std::string Describe(const Options& o, const std::string& port, const session::QelSession& checks,
                     std::size_t allowed, const std::bitset<256>& units) {
    std::string text = "serving " + port + " on " + o.listen + ", ";
    const bool writes = o.allowWrites || (o.mqtt.writes && !o.mqtt.url.empty());
    const std::string by = o.allowWrites && o.mqtt.writes && !o.mqtt.url.empty() ? " (Modbus and MQTT)"
                           : o.allowWrites                                      ? " (Modbus)"
                                                                                : " (MQTT)";
    text += !writes ? "read-only" : !HasWriteAllow(o) ? "writes allowed" + by
                                                      : std::to_string(allowed) + " gates writable" + by;
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
// A reload may change the interval; 0 stops the lines.
std::function<void()> StatsLogger(const session::LineScheduler& scheduler,
                                  std::shared_ptr<std::atomic<double>> intervalSetting) {
    auto next = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    return [&scheduler, intervalSetting, next] {
        const double interval = intervalSetting->load();
        if (interval <= 0) return;
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
            "%llu line errors, %llu port reopens, %llu requests shared, %llu from the image, %llu exchanges saved, "
            "down:%s",
            snapshot.line.busyShareMinute * 100, snapshot.line.exchangesPerSecond, snapshot.line.queueDepth,
            snapshot.line.queueDepthMax, static_cast<unsigned long long>(attempts),
            static_cast<unsigned long long>(failures), static_cast<unsigned long long>(snapshot.line.lineErrors),
            static_cast<unsigned long long>(snapshot.line.portReopens),
            static_cast<unsigned long long>(snapshot.line.sharedRequests),
            static_cast<unsigned long long>(snapshot.line.imageRequests),
            static_cast<unsigned long long>(snapshot.line.exchangesSaved), down.empty() ? " none" : down.c_str());
    };
}

double UnixNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
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
    if (checks.Describe(info) == session::DriverResult::Done && info.bannerText != nullptr)
        source.driverBanner = session::Cp437ToUtf8(info.bannerText);
    const session::LineOptions& line = host.line();
    source.port = {host.portName(), line.baud, line.dataBits, line.parity, line.stopBits, line.timeout};
    source.started = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return source;
}

// The units served: --units, or with --known-units-only the named stations;
// false with a reason.
bool UnitsOf(const Options& o, const session::StationModels& models, std::bitset<256>& units, std::string& error) {
    units.set();
    if (!o.units.empty()) {
        std::vector<unsigned> stations;
        if (!session::ParseStationList(o.units, stations, error)) {
            error = "--units: " + error;
            return false;
        }
        units.reset();
        for (const unsigned station : stations) units.set(station);
    } else if (o.knownUnitsOnly) {
        units.reset();
        for (unsigned station = 0; station < units.size(); ++station)
            if (models.named[station]) units.set(station);
        if (units.none()) {
            error = "--known-units-only: neither --models nor --station names a station";
            return false;
        }
    }
    return true;
}

// The write allow-list of the options, checked gate by gate; false with a reason.
bool LoadWriteAllow(const Options& o, const GateCheck& check, WriteAllowList& list, std::string& error) {
    if (!o.writeAllowLines.empty()) return list.Load(o.writeAllowLines, o.writeAllowOrigin, check, error);
    if (!o.writeAllowFile.empty()) return list.Load(o.writeAllowFile, check, error);
    return true;
}

// What the command line alone cannot say wrong; false with a reason that
// names where the file gave the keys concerned.
bool CheckCombination(const Options& o, std::string& error) {
    if (o.session.line.port.empty()) {
        error = "--port is required: the serial port of the FA line, e.g. --port ttyUSB0";
        return false;
    }
    if (!mqtt::CheckMqttPair(o.mqtt, error)) {
        error += KeyOrigins(o, {"mqtt", "publish"});
        return false;
    }
    if (!o.sparkplug.group.empty() && o.mqtt.url.empty()) {
        error = "--sparkplug needs --mqtt and --publish: the broker and the gates of the node" +
                KeyOrigins(o, {"sparkplug"});
        return false;
    }
    if (HasWriteAllow(o) && !o.allowWrites && !o.mqtt.writes && !o.httpWrites) {
        error = "--write-allow needs --allow-writes, --mqtt-writes or --http-writes" + KeyOrigins(o, {"write-allow"});
        return false;
    }
    if (o.httpWrites && (o.http.empty() || o.httpTokenFile.empty())) {
        error = "--http-writes needs --http and --http-token-file (the bearer token the writes carry)" +
                KeyOrigins(o, {"http-writes", "http", "http-token-file"});
        return false;
    }
    return true;
}

// The MQTT and Sparkplug options completed (the line name, the node); an
// error names where the file gave the keys it comes from.
bool CompletePublishing(const Options& o, mqtt::MqttOptions& m, sparkplug::SparkplugOptions& node, std::string& error) {
    if (!mqtt::CompleteMqttOptions(m, o.session.line.port, error)) {
        error += KeyOrigins(o, {"mqtt", "line-name", "buffer", "buffer-max", "mqtt-password-file"});
        return false;
    }
    if (!sparkplug::CompleteSparkplugOptions(node, m.lineName, error)) {
        error += KeyOrigins(o, {"sparkplug", "sparkplug-node", "line-name", "sparkplug-primary-host"});
        return false;
    }
    return true;
}

// The bearer token of --http-token-file: its first line, trimmed; false with a reason.
bool ReadHttpToken(const std::string& path, std::string& token, std::string& error) {
    std::ifstream file(path);
    std::getline(file, token);
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!token.empty() && blank(token.back())) token.pop_back();
    while (!token.empty() && blank(token.front())) token.erase(token.begin());
    if (!file && token.empty()) {
        error = "--http-token-file " + path + " cannot be read";
        return false;
    }
    if (token.size() < 16) {
        error = "--http-token-file " + path + ": the token on its first line has fewer than 16 characters";
        return false;
    }
    return true;
}

// Paths named from where the program started; the session may change the directory.
void MakePathsAbsolute(Options& o) {
    if (!o.writeAllowFile.empty()) o.writeAllowFile = session::Absolute(o.writeAllowFile);
    if (!o.pollFile.empty()) o.pollFile = session::Absolute(o.pollFile);
    if (!o.httpTokenFile.empty()) o.httpTokenFile = session::Absolute(o.httpTokenFile);
}

// What --max-age and --poll do, for the log.
std::string ImageText(const Options& o, const session::LinePoller* poller) {
    std::string text = o.maxAgeMs > 0 ? "line image: a read is answered from values at most " +
                                            std::to_string(o.maxAgeMs) + " ms old"
                                      : "no line image (--max-age 0): every read goes to the line";
    if (poller) {
        text += "; " + poller->Describe();
        if (o.maxAgeMs > 0 && poller->ShortestPeriod() * 1000 > o.maxAgeMs)
            text += "; note: --max-age is shorter than the poll period, so the polled values are old before the "
                    "next round";
    }
    return text;
}

// qelgate --config FILE --check: the options, the station models and every
// listed gate as the driver checks them, without the line; then the
// configuration in effect.
int CheckOnly(Options o) {
    std::string error;
    if (!session::RouteDriverLog(o.session.verbose, "")) return kExitUsage;
    if (!CheckCombination(o, error)) {
        Log("%s", error.c_str());
        return kExitUsage;
    }
    MakePathsAbsolute(o);
    mqtt::MqttOptions completed = o.mqtt;
    sparkplug::SparkplugOptions completedNode = o.sparkplug;
    if (!CompletePublishing(o, completed, completedNode, error)) {
        Log("%s", error.c_str());
        return kExitUsage;
    }
    session::SessionOptions noLine = o.session;
    noLine.line.port.clear();
    session::HostContext host;
    if (host.Open(noLine) != session::OpenResult::Ready) return kExitUsage;
    session::QelSession& checks = host.session();
    const GateCheck check = [&checks](session::Gate& gate) { return checks.Check(gate) == session::DriverResult::Done; };
    WriteAllowList allowList;
    std::bitset<256> units;
    std::string token;
    if (!LoadWriteAllow(o, check, allowList, error) || !UnitsOf(o, host.models(), units, error) ||
        (o.httpWrites && !ReadHttpToken(o.httpTokenFile, token, error))) {
        Log("%s", error.c_str());
        return kExitUsage;
    }
    if (!o.pollFile.empty()) {
        session::LineScheduler idle(checks, session::SchedulerOptionsFor(o.session));
        session::LinePoller poller(idle);
        if (!poller.Prepare(o.pollFile, check, session::PlanDriverOf(checks), session::PlanOptionsFor(host.line()),
                            error)) {
            Log("--poll %s", error.c_str());
            return kExitUsage;
        }
    }
    if (!completed.url.empty()) {
        session::LineScheduler idle(checks, session::SchedulerOptionsFor(o.session));
        mqtt::MqttPublisher publisher(idle, completed, [](const std::string&) {});
        if (!publisher.Prepare(check, session::PlanDriverOf(checks), session::PlanOptionsFor(host.line()),
                               nullptr, error)) {
            Log("%s", error.c_str());
            return kExitUsage;
        }
    }
    std::fputs(EffectiveConfig(o).c_str(), stdout);
    Log("the configuration is good");
    return 0;
}

int Serve(const std::vector<std::string>& commandLine, Options& running) {
    Options o = running;  // completed: absolute paths, the MQTT defaults
    if (!session::RouteDriverLog(o.session.verbose, o.session.logFile)) {
        Log("cannot write the log file %s", o.session.logFile.c_str());
        return kExitUsage;
    }
    MakePathsAbsolute(o);
    std::string error;
    if (!CompletePublishing(o, o.mqtt, o.sparkplug, error)) {
        Log("%s", error.c_str());
        return kExitUsage;
    }

    // The line's session (station models, port), used by the line worker
    // only, and a session without a line for the gate checks, used by the
    // server thread only.
    session::HostContext host;
    if (const session::OpenResult opened = host.Open(o.session); opened != session::OpenResult::Ready)
        return cli::ExitCode(opened);
    session::QelSession& line = host.session();
    session::QelSession checks(host.driver);
    session::LineOptions noLine = host.line();
    noLine.port.clear();
    checks.Init(noLine);
    const GateCheck check = [&checks](session::Gate& gate) { return checks.Check(gate) == session::DriverResult::Done; };

    auto allowList = std::make_shared<WriteAllowList>();
    if (!LoadWriteAllow(o, check, *allowList, error)) {
        Log("%s", error.c_str());
        return kExitUsage;
    }
    auto policyOf = [](const Options& options, const WriteAllowList& list) {
        return WritePolicy{options.allowWrites, HasWriteAllow(options) ? &list : nullptr};
    };
    RequestPlanner planner(session::PlanDriverOf(checks), check, session::PlanOptionsFor(host.line()),
                           policyOf(o, *allowList));
    auto limitsOf = [&host](const Options& options, ServerLimits& limits, std::string& why) {
        limits.maxClients = static_cast<std::size_t>(options.maxClients);
        limits.clientIdle = std::chrono::seconds(options.clientIdleSeconds);
        limits.http = options.http;
        return UnitsOf(options, host.models(), limits.units, why);
    };
    ServerLimits limits;
    if (!limitsOf(o, limits, error)) {
        Log("%s", error.c_str());
        return kExitUsage;
    }
    session::SchedulerOptions lineOptions = session::SchedulerOptionsFor(o.session);
    lineOptions.downHold = std::chrono::milliseconds(static_cast<long long>(o.downHoldSeconds * 1000));
    lineOptions.maxAge = std::chrono::milliseconds(o.maxAgeMs);
    session::LineScheduler scheduler(line, lineOptions);
    // systemd's watchdog is pinged at a fixed period while the line's loop
    // turns (each exchange, and at least twice a second when idle): a long
    // block read or a long queue is no hang, a loop stuck for half the
    // watchdog's time is. The loop also logs the summary when it is due.
    auto statsInterval = std::make_shared<std::atomic<double>>(o.statsInterval);
    session::WatchdogPinger watchdog;
    // The status page's charts: each station sampled once a second.
    session::TrendHistory trends;
    scheduler.onLoop = [&watchdog, stats = StatsLogger(scheduler, statsInterval), &trends, &scheduler,
                        next = std::chrono::steady_clock::now()]() mutable {
        watchdog.Progress();
        stats();
        if (const auto now = std::chrono::steady_clock::now(); now >= next) {
            next = now + std::chrono::seconds(1);
            trends.Sample(scheduler.Snapshot(), UnixNow());
        }
    };
    // A station that answers with less than a reply may be served as the
    // other model: asked once, on the line's thread between two attempts,
    // and what is found said in the log, on the status page and in
    // /api/status.
    auto asked = std::make_shared<std::bitset<256>>();
    scheduler.onRefused = [&host, &scheduler, asked](unsigned station) {
        if (station >= asked->size() || asked->test(station)) return;
        asked->set(station);
        const session::Diagnosis found = host.DiagnoseModel(station);
        const std::string advice = cli::ServedModelText(found);
        const std::string answersAs =
            found.answersAs == session::StationKind::Other ? std::string() : session::ModelText(found.answersAs);
        scheduler.NoteStation(station, answersAs, advice);
        if (!advice.empty()) Log("%s", advice.c_str());
    };
    LineWorker worker(scheduler);
    const auto logText = [](const std::string& text) { Log("%s", text.c_str()); };
    std::unique_ptr<sparkplug::SparkplugNode> spNode;
    // The node keeps the allow list it started with; a reload does not change the node.
    const std::shared_ptr<WriteAllowList> nodeAllow = allowList;
    if (!o.sparkplug.group.empty()) {
        sparkplug::NodeConfig config{o.sparkplug, mqtt::BrokerSettingsOf(o.mqtt), o.mqtt.publishFile,
                                     o.mqtt.publishLines, o.mqtt.publishOrigin, o.mqtt.publishPeriod,
                                     o.mqtt.writes, "", o.mqtt.bufferLimits};
        config.broker.clientId = "spb-" + config.broker.clientId;
        if (!o.mqtt.buffer.empty())
            config.holdFile = (std::filesystem::path(o.mqtt.buffer) / ("sparkplug-" + o.mqtt.lineName + ".db")).string();
        spNode = std::make_unique<sparkplug::SparkplugNode>(scheduler, std::move(config), logText);
        if (!spNode->Prepare(check, session::PlanDriverOf(checks), session::PlanOptionsFor(host.line()),
                           HasWriteAllow(o) ? nodeAllow.get() : nullptr, error)) {
            Log("%s", error.c_str());
            return kExitUsage;
        }
    }
    std::unique_ptr<mqtt::MqttPublisher> publisher;
    if (!o.mqtt.url.empty() && !o.sparkplug.only) {
        publisher = std::make_unique<mqtt::MqttPublisher>(scheduler, o.mqtt, logText);
        publisher->onValue = [&trends](const session::GateReading& gate, std::optional<double> value) {
            trends.Value(gate.gate.gas, value, UnixNow(), gate.tag, gate.spec.unit);
        };
        if (!publisher->Prepare(check, session::PlanDriverOf(checks), session::PlanOptionsFor(host.line()),
                                HasWriteAllow(o) ? allowList.get() : nullptr, error)) {
            Log("%s", error.c_str());
            return kExitUsage;
        }
    }
    std::unique_ptr<session::LinePoller> poller;
    if (!o.pollFile.empty()) {
        poller = std::make_unique<session::LinePoller>(scheduler);
        if (!poller->Prepare(o.pollFile, check, session::PlanDriverOf(checks), session::PlanOptionsFor(host.line()),
                             error)) {
            Log("--poll %s", error.c_str());
            return kExitUsage;
        }
    }
    GatewayServer server(planner, worker, limits);
    if (const ListenResult listening = server.Listen(o.listen, error); listening != ListenResult::Ok) {
        Log("%s", error.c_str());
        return listening == ListenResult::BadAddress ? kExitUsage : kExitLine;
    }
    // The gates over HTTP: their own checks' session (the server thread has
    // `checks`), the scheduler's exchanges, the allow-list a reload replaces.
    std::string httpToken;
    if (o.httpWrites && !ReadHttpToken(o.httpTokenFile, httpToken, error)) {
        Log("%s", error.c_str());
        return kExitUsage;
    }
    session::QelSession gateChecks(host.driver);
    gateChecks.Init(noLine);
    session::GateAccess gates(gateChecks, scheduler,
                              {host.models(), o.session.modelsFile, host.portName(), host.line()},
                              std::uint64_t{1} << 48);
    // The publish list's named tags, by name over HTTP (as the list stood at
    // the start); a list in error is the MQTT side's to report.
    session::TagTable tagTable;
    if (!o.mqtt.publishFile.empty() || !o.mqtt.publishLines.empty()) {
        std::vector<session::ListedGate> listed;
        const bool inline_ = o.mqtt.publishFile.empty();
        const std::string origin = inline_ ? o.mqtt.publishOrigin : o.mqtt.publishFile;
        if ((inline_ ? session::ParseGateList(o.mqtt.publishLines, origin, listed, error)
                     : session::ReadGateList(origin, listed, error)) &&
            !tagTable.Load(listed, gates, origin, error))
            Log("HTTP tags: %s", error.c_str());
    }
    std::mutex httpAllowMutex;
    std::shared_ptr<const WriteAllowList> httpAllow = HasWriteAllow(o) ? allowList : nullptr;
    std::atomic<std::uint64_t> reloadsApplied = 0, reloadsRefused = 0;
    // The diagnostics' source, with the MQTT side's counters when it runs
    // (an MQTT side a reload starts shows from the next move of --http or
    // the next start).
    auto makeHttp = [&] {
        http::StatusSource source = DiagnosticsSource(host, checks, scheduler, server.Stats(),
                                                      publisher.get());
        if (spNode) source.frontEnds.push_back({"sparkplug", [&spNode] { return spNode->TakeStats(); }});
        source.trends = [&trends](double now) { return trends.Take(now); };
        source.reloads = [&reloadsApplied, &reloadsRefused] {
            return http::ReloadCounts{reloadsApplied.load(), reloadsRefused.load()};
        };
        auto diagnostics = std::make_unique<http::HttpServer>(std::move(source));
        http::GateSource gateSource;
        gateSource.read = [&gates](const std::string& gas, int count) { return gates.Read(gas, count); };
        if (o.httpWrites) {
            gateSource.write = [&gates, &httpAllowMutex, &httpAllow](const std::string& gas, long long value) {
                std::shared_ptr<const WriteAllowList> allow;
                {
                    const std::lock_guard lock(httpAllowMutex);
                    allow = httpAllow;
                }
                return gates.Write(gas, value, allow.get());
            };
            gateSource.token = httpToken;
            if (!tagTable.Empty())
                gateSource.writeTag = [&gates, &tagTable, &httpAllowMutex, &httpAllow](const std::string& name,
                                                                                       double value) {
                    std::shared_ptr<const WriteAllowList> allow;
                    {
                        const std::lock_guard lock(httpAllowMutex);
                        allow = httpAllow;
                    }
                    return tagTable.Write(gates, name, value, allow.get());
                };
        }
        if (!tagTable.Empty())
            gateSource.readTag = [&gates, &tagTable](const std::string& name) { return tagTable.Read(gates, name); };
        gateSource.words = [](const session::GateResult& r) {
            return r.line ? cli::DiagnosisText(*r.line) : r.gate ? cli::GateDiagnosisText(*r.gate) : r.reason;
        };
        diagnostics->ServeGates(std::move(gateSource));
        return diagnostics;
    };
    std::unique_ptr<http::HttpServer> http;
    if (!o.http.empty()) {
        http = makeHttp();
        if (!http->Listen(o.http, error)) {
            Log("%s", error.c_str());
            std::string node;
            int port = 0;
            std::string why;
            // A malformed address is a usage error; one that can't be bound is a run-time failure.
            return http::ParseHttpAddress(o.http, node, port, why) ? kExitLine : kExitUsage;
        }
    }

    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return kExitLine;
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGHUP, OnReloadSignal);
    std::signal(SIGPIPE, SIG_IGN);
    Log("%s", Describe(o, host.portName(), checks, allowList->Size(), limits.units).c_str());
    if (http) {
        http->Start();
        Log("diagnostics on %s, gates %s", http->Url().c_str(), o.httpWrites ? "read and written (bearer token)" : "read only");
    }
    worker.Start();
    if (o.maxAgeMs > 0 || poller) Log("%s", ImageText(o, poller.get()).c_str());
    if (poller) poller->Start();
    if (publisher) {
        Log("%s", publisher->Describe().c_str());
        if (!publisher->Start(error)) {
            Log("%s", error.c_str());
            if (poller) poller->Stop();
            worker.Stop();
            return kExitUsage;
        }
    }
    if (spNode) {
        Log("%s", spNode->Describe().c_str());
        if (!spNode->Start(error)) {
            Log("%s", error.c_str());
            if (publisher) publisher->Stop();
            worker.Stop();
            return kExitUsage;
        }
    }

    // SIGHUP: the file again, on this (the server's) thread, between two
    // turns of its loop; the listener and the clients stay.
    const auto refuse = [&reloadsRefused](const std::string& why) {
        ++reloadsRefused;
        Log("reload refused: %s; the running configuration goes on", why.c_str());
    };
    const auto reload = [&] {
        if (running.configFile.empty()) {
            refuse("qelgate was started without --config: there is no file to read again");
            return;
        }
        Options next;
        std::string why;
        if (!LoadOptions(commandLine, next, why) || !CheckCombination(next, why)) {
            refuse(why);
            return;
        }
        const std::vector<OptionChange> changes = CompareOptions(running, next);
        std::string restart;
        bool reopen = false;
        for (const OptionChange& change : changes) {
            if (change.kind == ReloadKind::Restart) restart += (restart.empty() ? "" : ", ") + change.key;
            reopen = reopen || change.kind == ReloadKind::Reopen;
        }
        if (!restart.empty()) {
            refuse("changing " + restart + " takes a restart (systemctl restart), which closes the Modbus clients");
            return;
        }
        // Everything checked before anything changes.
        Options done = next;
        MakePathsAbsolute(done);
        if (!mqtt::CompleteMqttOptions(done.mqtt, done.session.line.port, why)) {
            refuse(why + KeyOrigins(done, {"mqtt", "line-name", "buffer", "buffer-max", "mqtt-password-file"}));
            return;
        }
        auto nextAllow = std::make_shared<WriteAllowList>();
        ServerLimits nextLimits = server.Limits();
        if (!LoadWriteAllow(done, check, *nextAllow, why) || !limitsOf(done, nextLimits, why)) {
            refuse(why);
            return;
        }
        const WriteAllowList* allowFor = HasWriteAllow(done) ? nextAllow.get() : nullptr;
        if (!done.mqtt.url.empty()) {
            mqtt::MqttPublisher trial(scheduler, done.mqtt, logText);
            if (!trial.Prepare(check, session::PlanDriverOf(checks), session::PlanOptionsFor(host.line()), allowFor,
                               why)) {
                refuse(why);
                return;
            }
        }
        std::unique_ptr<http::HttpServer> nextHttp;
        if (!done.http.empty() && done.http != o.http) {
            nextHttp = makeHttp();
            if (!nextHttp->Listen(done.http, why)) {
                refuse(why);
                return;
            }
        }
        if (!session::RouteDriverLog(done.session.verbose, done.session.logFile)) {
            refuse("cannot write the log file " + done.session.logFile);
            session::RouteDriverLog(o.session.verbose, o.session.logFile);
            return;
        }

        // Applied: the writes and the limits at once (this thread is the
        // server's), the MQTT side reconnected, the diagnostics moved.
        planner.Reconfigure(policyOf(done, *nextAllow));
        server.Reconfigure(nextLimits);
        statsInterval->store(done.statsInterval);
        // A publisher is never destroyed while the gateway runs: the
        // diagnostics' thread may be reading its counters.
        if (done.mqtt.url.empty() || done.sparkplug.only) {
            if (publisher) publisher->Stop();
        } else if (!publisher) {
            publisher = std::make_unique<mqtt::MqttPublisher>(scheduler, done.mqtt, logText);
            publisher->onValue = [&trends](const session::GateReading& gate, std::optional<double> value) {
                trends.Value(gate.gate.gas, value, UnixNow(), gate.tag, gate.spec.unit);
            };
            if (!publisher->Prepare(check, session::PlanDriverOf(checks), session::PlanOptionsFor(host.line()),
                                    allowFor, why) ||
                !publisher->Start(why))
                Log("MQTT: %s", why.c_str());
        } else if (!publisher->Reconfigure(done.mqtt, check, session::PlanDriverOf(checks),
                                           session::PlanOptionsFor(host.line()), allowFor, why)) {
            Log("MQTT: %s", why.c_str());
        }
        if (publisher && !done.mqtt.url.empty() && !done.sparkplug.only) Log("%s", publisher->Describe().c_str());
        allowList = nextAllow;  // the old list outlived the publisher's use of it
        {
            const std::lock_guard lock(httpAllowMutex);
            httpAllow = HasWriteAllow(done) ? nextAllow : nullptr;
        }
        if (done.http.empty() && http) {
            http->Stop();
            http.reset();
        } else if (nextHttp) {
            if (http) http->Stop();
            http = std::move(nextHttp);
            http->Start();
            Log("diagnostics on %s, gates %s", http->Url().c_str(), o.httpWrites ? "read and written (bearer token)" : "read only");
        }
        if (reopen) {
            session::LineOptions settings = host.line();
            const session::LineOptions& wanted = done.session.line;
            settings.baud = wanted.baud;
            settings.dataBits = wanted.dataBits;
            settings.parity = wanted.parity;
            settings.stopBits = wanted.stopBits;
            settings.timeout = wanted.timeout;
            const std::string port = wanted.port == o.session.line.port ? host.portPath() : wanted.port;
            scheduler.ReopenLine([&line, &host, settings, port]() mutable {
                std::string linkError;
                if (!host.DriverPortFor(port, settings.port, linkError)) {
                    Log("line: %s; trying again after a pause", linkError.c_str());
                    return false;
                }
                const bool open = line.SetReadTimeout(settings, settings.timeout) == session::DriverResult::Done;
                if (open) host.UseLine(settings);
                Log("%s", open ? "line reopened with the new port settings"
                               : ("line: the new port settings cannot be opened: " +
                                  session::ExplainOpenFailure(port) + "; trying again after a pause")
                                     .c_str());
                return open;
            });
        }
        running = next;
        o = done;
        ++reloadsApplied;
        Log("reloaded %s: %s", running.configFile.c_str(),
            changes.empty() ? "nothing changed" : ChangesText(changes).c_str());
        Log("%s", Describe(o, host.portName(), checks, allowList->Size(), nextLimits.units).c_str());
    };

    session::NotifyReady();
    watchdog.Start();
    for (;;) {
        server.Run(signalPipe[0]);
        if (StopAsked()) break;
        session::NotifyReloading();
        reload();
        session::NotifyReady();
    }
    session::NotifyStopping();
    Log("stopping: finishing the requests begun on the line (for at most %lld s)",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kFinishOnStop).count()));
    if (http) http->Stop();
    if (publisher) publisher->Stop();
    if (spNode) spNode->Stop();
    if (poller) poller->Stop();
    // A request begun on the line is finished, all of it, and answered; one
    // not begun is not begun. Well inside the units' TimeoutStopSec (15 s).
    const bool whole = worker.Stop(kFinishOnStop);
    server.Finish();
    watchdog.Stop();
    gateChecks.Close();
    checks.Close();  // the line closes with its session
    Log(whole ? "stopped" : "stopped with a write cut off (above: the gates it wrote)");
    return whole ? 0 : kExitLine;
}

}  // namespace
}  // namespace qel::qelgate

int main(int argc, char** argv) {
    using namespace qel::qelgate;
    namespace session = qel::session;
    qel::cli::PrintReports("qelgate");
    CLI::App app{"qelgate - FA-2/FA-3 controllers on one serial line as a Modbus TCP server: the unit id is the "
                 "station, the address map is printed by --map. With --mqtt it publishes a list of gates to an MQTT "
                 "broker as well. Every option may come from a TOML file (--config); SIGHUP reads it again."};
    Options shown;
    AddOptions(app, shown);
    const std::vector<std::string> commandLine(argv + 1, argv + argc);
    for (const std::string& arg : commandLine) {
        if (arg == "-h" || arg == "--help") {
            try {
                app.parse(argc, argv);
            } catch (const CLI::ParseError& e) {
                return app.exit(e);
            }
        }
    }
    Options options;
    std::string error;
    if (!LoadOptions(commandLine, options, error)) {
        std::cerr << "qelgate: " << error << (options.configFile.empty() ? " (see qelgate --help)" : "") << "\n";
        return kExitUsage;
    }
    if (options.map) {
        std::fputs(MapText().c_str(), stdout);
        // The publish list's tags beside their registers.
        if (!options.mqtt.publishFile.empty() || !options.mqtt.publishLines.empty()) {
            std::vector<session::ListedGate> listed;
            const bool inline_ = options.mqtt.publishFile.empty();
            if (!(inline_ ? session::ParseGateList(options.mqtt.publishLines, options.mqtt.publishOrigin, listed, error)
                          : session::ReadGateList(options.mqtt.publishFile, listed, error))) {
                std::cerr << "qelgate: " << error << "\n";
                return kExitUsage;
            }
            std::fputs(TagMapText(listed).c_str(), stdout);
        }
        return 0;
    }
    if (options.check) return CheckOnly(options);
    if (!CheckCombination(options, error)) {
        std::cerr << "qelgate: " << error << "\n";
        return kExitUsage;
    }
    return Serve(commandLine, options);
}
