#include "gateway/gateway.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "cli/diagnosis_text.h"
#include "cli/setting_words.h"
#include "cli/worded_check.h"
#include "gateway/config_file.h"
#include "gateway/gateway_parts.h"
#include "gateway/gateway_text.h"
#include "gateway/option_checks.h"
#include "modbus/gateway_log.h"
#include "session/diagnosis/port_diagnosis.h"
#include "session/driver/driver_log.h"
#include "session/driver/plan_link.h"

namespace qel::gateway {

using modbus::Log;
using session::OpenResult;

namespace {

double UnixNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The serving thread: the Modbus loop, and between two of its turns a
// reload; until a stop.
void Serve(GatewayParts& p) {
    for (;;) {
        p.server->Run(p.control[0]);
        char byte = 0;
        if (read(p.control[0], &byte, 1) != 1) continue;
        if (byte == 'S') return;
        const std::lock_guard lock(p.reloadMutex);
        p.lastReload = ReloadOnServingThread(p);
        ++p.reloadsDone;
        p.reloaded.notify_all();
    }
}

}  // namespace

modbus::WritePolicy PolicyOf(const Options& options, const session::WriteAllowList& list) {
    return modbus::WritePolicy{options.allowWrites, HasWriteAllow(options) ? &list : nullptr};
}

bool LimitsOf(const Options& options, const session::StationModels& models, modbus::ServerLimits& limits,
              std::string& error) {
    limits.maxClients = static_cast<std::size_t>(options.maxClients);
    limits.clientIdle = std::chrono::seconds(options.clientIdleSeconds);
    limits.http = options.http;
    return UnitsOf(options, models, limits.units, error);
}

GatewayParts::~GatewayParts() {
    for (int& fd : control)
        if (fd >= 0) close(fd);
}

Gateway::Gateway(std::vector<std::string> commandLine, Options options, session::ReportSink report)
    : parts_(std::make_unique<GatewayParts>(std::move(report))) {
    // Relative paths of the command line are the working directory's at
    // the start, for good: the session works in a folder of its own.
    std::error_code ec;
    parts_->commandLine = AbsoluteCommandLine(commandLine, std::filesystem::current_path(ec).string());
    parts_->running = std::move(options);
}

Gateway::~Gateway() {
    if (parts_->started) Stop();
}

OpenResult Gateway::Start(std::string& error) {
    GatewayParts& p = *parts_;
    p.o = p.running;
    Options& o = p.o;
    if (!CheckCombination(o, error)) return OpenResult::BadSetting;
    if (!session::RouteDriverLog(o.session.verbose, o.session.logFile, p.report)) {
        error = "cannot write the log file " + o.session.logFile;
        return OpenResult::BadSetting;
    }
    if (!CompletePublishing(o, o.mqtt, o.sparkplug, error)) return OpenResult::BadSetting;

    if (const OpenResult opened = p.host.Open(o.session); opened != OpenResult::Ready) {
        error = cli::OpenFaultWords(p.host.openFault(), p.host.portName());
        return opened;
    }
    session::LineOptions noLine = p.host.line();
    noLine.port.clear();
    p.checks = std::make_unique<session::QelSession>(p.host.driver);
    p.checks->Init(noLine);
    // Its refusals in qelhost's words, for the lists and the Modbus writes.
    p.check = cli::WordedGateCheck(*p.checks, p.host.models());
    p.allowList = std::make_shared<session::WriteAllowList>();
    if (!LoadWriteAllow(o, p.check, *p.allowList, error)) return OpenResult::BadSetting;
    const plan::Driver planDriver = session::PlanDriverOf(*p.checks);
    const plan::PlanOptions planOptions = session::PlanOptionsFor(p.host.line());
    p.planner = std::make_unique<modbus::RequestPlanner>(planDriver, p.check, planOptions, PolicyOf(o, *p.allowList));
    if (!LimitsOf(o, p.host.models(), p.limits, error)) return OpenResult::BadSetting;

    session::SchedulerOptions lineOptions = session::SchedulerOptionsFor(o.session);
    lineOptions.downHold = std::chrono::milliseconds(static_cast<long long>(o.downHoldSeconds * 1000));
    lineOptions.maxAge = std::chrono::milliseconds(o.maxAgeMs);
    // The stations the user named: one that never answered is down, any
    // other unit that never answered absent (no probes, no alarm).
    for (unsigned station = 0; station < lineOptions.expected.size(); ++station)
        lineOptions.expected[station] =
            p.host.models().named[station] || (!o.units.empty() && p.limits.units.test(station));
    lineOptions.report = p.report;
    p.scheduler = std::make_unique<session::LineScheduler>(p.host.session(), lineOptions);
    session::LineScheduler& scheduler = *p.scheduler;
    // systemd's watchdog is pinged at a fixed period while the line's loop
    // turns (each exchange, and at least twice a second when idle): a long
    // block read or a long queue is no hang, a loop stuck for half the
    // watchdog's time is. The loop also logs the summary when it is due,
    // and samples each station for the status page's charts once a second.
    p.statsInterval = std::make_shared<std::atomic<double>>(o.statsInterval);
    scheduler.onLoop = [&p, stats = StatsLogger(scheduler, p.statsInterval, p.report),
                        next = std::chrono::steady_clock::now()]() mutable {
        p.watchdog.Progress();
        stats();
        if (const auto now = std::chrono::steady_clock::now(); now >= next) {
            next = now + std::chrono::seconds(1);
            p.trends.Sample(p.scheduler->Snapshot(), UnixNow());
        }
    };
    // A station that answers an exchange's every attempt with less than a
    // reply may be served as the other model: asked once, on the line's thread between two attempts,
    // and what is found said in the log, on the status page and in
    // /api/status.
    scheduler.onRefused = [&p](unsigned station) {
        if (station >= p.asked.size() || p.asked.test(station)) return;
        p.asked.set(station);
        const session::Diagnosis found = p.host.DiagnoseModel(station);
        const std::string advice = cli::ServedModelText(found);
        const std::string answersAs =
            found.answersAs == session::StationKind::Other ? std::string() : session::ModelText(found.answersAs);
        p.scheduler->NoteStation(station, answersAs, advice);
        if (!advice.empty()) Log(p.report, session::Severity::Info, "%s", advice.c_str());
    };
    if (!o.recordFile.empty() && !StartRecording(p, error)) return OpenResult::BadSetting;
    p.worker = std::make_unique<modbus::LineWorker>(scheduler, p.report);

    p.nodeAllow = p.allowList;
    if (!o.sparkplug.group.empty()) {
        sparkplug::NodeConfig config{o.sparkplug,        mqtt::BrokerSettingsOf(o.mqtt), o.mqtt.publishFile,
                                     o.mqtt.publishLines, o.mqtt.publishOrigin,          o.mqtt.publishPeriod,
                                     o.mqtt.writes,      "",                             o.mqtt.bufferLimits};
        config.broker.clientId = "spb-" + config.broker.clientId;
        if (!o.mqtt.buffer.empty())
            config.holdFile =
                (std::filesystem::path(o.mqtt.buffer) / ("sparkplug-" + o.mqtt.lineName + ".db")).string();
        p.spNode = std::make_unique<sparkplug::SparkplugNode>(
            scheduler, std::move(config),
            [sink = p.report](const std::string& text) { Log(sink, session::Severity::Info, "%s", text.c_str()); });
        if (!p.spNode->Prepare(p.check, planDriver, planOptions, HasWriteAllow(o) ? p.nodeAllow.get() : nullptr,
                               error))
            return OpenResult::BadSetting;
    }
    if (!o.mqtt.url.empty() && !o.sparkplug.only) {
        p.publisher = MakePublisher(p, o);
        if (!p.publisher->Prepare(p.check, planDriver, planOptions, HasWriteAllow(o) ? p.allowList.get() : nullptr,
                                  error))
            return OpenResult::BadSetting;
    }
    if (!o.pollFile.empty()) {
        p.poller = std::make_unique<session::LinePoller>(scheduler);
        if (!p.poller->Prepare(o.pollFile, p.check, planDriver, planOptions, error)) {
            error = "--poll " + error;
            return OpenResult::BadSetting;
        }
    }
    p.server = std::make_unique<modbus::GatewayServer>(*p.planner, *p.worker, p.limits, p.report);
    if (const modbus::ListenResult listening = p.server->Listen(o.listen, error);
        listening != modbus::ListenResult::Ok)
        return listening == modbus::ListenResult::BadAddress ? OpenResult::BadSetting : OpenResult::LineFailure;
    // The gates over HTTP: their own checks' session, the scheduler's
    // exchanges, the allow-list a reload replaces.
    if (o.httpWrites) {
        std::string warning;
        if (!ReadHttpToken(o.httpTokenFile, p.httpToken, warning, error)) return OpenResult::BadSetting;
        if (!warning.empty()) Log(p.report, session::Severity::Warning, "%s", warning.c_str());
    }
    p.gateChecks = std::make_unique<session::QelSession>(p.host.driver);
    p.gateChecks->Init(noLine);
    p.gates = std::make_unique<session::GateAccess>(
        *p.gateChecks, scheduler, session::LineFacts{p.host.models(), o.session.modelsFile, p.host.portName(), p.host.line()},
        std::uint64_t{1} << 48);
    p.httpWrites.allow = HasWriteAllow(o) ? p.allowList : nullptr;
    if (!o.http.empty()) {
        LoadTags(p);
        p.http = MakeHttp(p);
        if (!o.httpTlsCert.empty() && !p.http->UseTls({o.httpTlsCert, o.httpTlsKey, o.httpTlsClientCa}, error))
            return OpenResult::BadSetting;
        if (!p.http->Listen(o.http, error)) {
            std::string node, why;
            int port = 0;
            // A malformed address is a usage error; one that can't be bound is a run-time failure.
            return http::ParseHttpAddress(o.http, node, port, why) ? OpenResult::LineFailure : OpenResult::BadSetting;
        }
    }
    if (pipe2(p.control, O_CLOEXEC) != 0) {
        error = "cannot make the gateway's control pipe";
        return OpenResult::LineFailure;
    }

    Log(p.report, session::Severity::Info, "%s", ServingText(o, p.host.portName(), *p.checks, p.allowList->Size(), p.limits.units).c_str());
    if (p.http) {
        p.http->Start();
        Log(p.report, session::Severity::Info, "diagnostics on %s, gates %s", p.http->Url().c_str(),
            o.httpWrites ? "read and written (bearer token)" : "read only");
        if (!o.httpTlsCert.empty()) Log(p.report, session::Severity::Info, "HTTP %s", p.http->DescribeTls().c_str());
    }
    p.worker->Start();
    p.started = true;  // from here Stop undoes what was started
    if (o.maxAgeMs > 0 || p.poller) Log(p.report, session::Severity::Info, "%s", ImageText(o, p.poller.get()).c_str());
    if (p.poller) p.poller->Start();
    if (p.publisher) {
        Log(p.report, session::Severity::Info, "%s", p.publisher->Describe().c_str());
        if (!p.publisher->Start(error)) {
            Stop();
            return OpenResult::BadSetting;
        }
    }
    if (p.spNode) {
        Log(p.report, session::Severity::Info, "%s", p.spNode->Describe().c_str());
        if (!p.spNode->Start(error)) {
            Stop();
            return OpenResult::BadSetting;
        }
    }
    p.watchdog.Start();
    p.serving = std::thread([&p] { Serve(p); });
    return OpenResult::Ready;
}

ReloadOutcome Gateway::Reload() {
    GatewayParts& p = *parts_;
    std::unique_lock lock(p.reloadMutex);
    if (!p.serving.joinable()) return {ReloadResult::Refused, "the gateway is not serving"};
    const std::uint64_t asked = ++p.reloadsAsked;
    const char byte = 'H';
    if (write(p.control[1], &byte, 1) != 1) return {ReloadResult::Refused, "the serving thread cannot be told"};
    p.reloaded.wait(lock, [&] { return p.reloadsDone >= asked; });
    return p.lastReload;
}

bool Gateway::Stop(std::chrono::milliseconds finishBegun) {
    GatewayParts& p = *parts_;
    if (!p.started) return true;
    p.started = false;
    if (p.serving.joinable()) {
        const char byte = 'S';
        if (write(p.control[1], &byte, 1) == 1) p.serving.join();
    }
    Log(p.report, session::Severity::Info, "stopping: finishing the requests begun on the line (for at most %lld s)",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(finishBegun).count()));
    if (p.http) p.http->Stop();
    if (p.publisher) p.publisher->Stop();
    if (p.spNode) p.spNode->Stop();
    if (p.poller) p.poller->Stop();
    if (p.recorder) Log(p.report, session::Severity::Info, "%s", RecordingSummary(p).c_str());
    // A request begun on the line is finished, all of it, and answered; one
    // not begun is not begun.
    const bool whole = p.worker->Stop(finishBegun);
    p.server->Finish();
    p.server.reset();  // the listener and the clients closed: nothing is served after a stop
    p.watchdog.Stop();
    p.gateChecks->Close();
    p.checks->Close();  // the line closes with its session
    Log(p.report, session::Severity::Info, "%s", whole ? "stopped" : "stopped with a write cut off (above: the gates it wrote)");
    return whole;
}

std::string Gateway::HttpUrl() const {
    const std::lock_guard lock(parts_->reloadMutex);
    return parts_->http ? parts_->http->Url() : std::string();
}

}  // namespace qel::gateway
