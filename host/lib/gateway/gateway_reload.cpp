// A reload (SIGHUP): the configuration read again and checked whole, every
// file it names read, before anything of the running one is let go; then
// applied on the serving thread between two turns of the Modbus loop. The
// listener and the Modbus clients stay.
#include <memory>

#include "gateway/config_file.h"
#include "gateway/gateway_parts.h"
#include "gateway/gateway_text.h"
#include "gateway/option_checks.h"
#include "gateway/reload_rules.h"
#include "modbus/gateway_log.h"
#include "session/diagnosis/port_diagnosis.h"
#include "session/driver/driver_log.h"
#include "session/driver/plan_link.h"

namespace qel::gateway {

using modbus::Log;

namespace {

// The configuration a reload would put in place, read and checked whole.
struct NextConfig {
    Options next;  // as read
    Options done;  // completed
    std::vector<OptionChange> changes;
    bool reopen = false;
    std::shared_ptr<session::WriteAllowList> allow = std::make_shared<session::WriteAllowList>();
    modbus::ServerLimits limits;
    std::unique_ptr<http::HttpServer> http;  // bound, when --http moved
};

// Reads and checks everything; false with the reason, nothing changed but
// the driver's log, which is put back.
bool Prepare(GatewayParts& p, NextConfig& n, std::string& why) {
    if (p.running.configFile.empty()) {
        why = "qelgate was started without --config: there is no file to read again";
        return false;
    }
    if (!LoadOptions(p.commandLine, n.next, why) || !CheckCombination(n.next, why)) return false;
    n.changes = CompareOptions(p.running, n.next);
    std::string restart;
    for (const OptionChange& change : n.changes) {
        if (change.kind == ReloadKind::Restart) restart += (restart.empty() ? "" : ", ") + change.key;
        n.reopen = n.reopen || change.kind == ReloadKind::Reopen;
    }
    if (!restart.empty()) {
        why = "changing " + restart + " takes a restart (systemctl restart), which closes the Modbus clients";
        return false;
    }
    n.done = n.next;
    Options& done = n.done;
    sparkplug::SparkplugOptions node = done.sparkplug;
    if (!CompletePublishing(done, done.mqtt, node, why)) return false;
    n.limits = p.server->Limits();
    if (!LoadWriteAllow(done, p.check, *n.allow, why) || !LimitsOf(done, p.host.models(), n.limits, why))
        return false;
    // The files whose path did not change are read again too: a file that
    // went bad is found now, not at the next start.
    if (done.httpWrites) {
        std::string token, warning;
        if (!ReadHttpToken(done.httpTokenFile, token, warning, why)) return false;
        if (token != p.httpToken) {
            why = "--http-token-file " + done.httpTokenFile + ": a new token takes a restart";
            return false;
        }
    }
    const plan::Driver planDriver = session::PlanDriverOf(*p.checks);
    const plan::PlanOptions planOptions = session::PlanOptionsFor(p.host.line());
    if (!done.pollFile.empty()) {
        session::LinePoller trial(*p.scheduler);
        if (!trial.Prepare(done.pollFile, p.check, planDriver, planOptions, why)) {
            why = "--poll " + why;
            return false;
        }
    }
    const session::WriteAllowList* allowFor = HasWriteAllow(done) ? n.allow.get() : nullptr;
    if (!done.mqtt.url.empty()) {
        mqtt::MqttPublisher trial(*p.scheduler, done.mqtt, [](const std::string&) {});
        if (!trial.Prepare(p.check, planDriver, planOptions, allowFor, why)) return false;
    }
    if (!done.http.empty() && done.http != p.o.http) {
        n.http = MakeHttp(p);
        if ((!p.o.httpTlsCert.empty() && !n.http->UseTls({p.o.httpTlsCert, p.o.httpTlsKey, p.o.httpTlsClientCa}, why)) ||
            !n.http->Listen(done.http, why))
            return false;
    }
    // Last, as it takes effect at once: put back when it fails.
    if (!session::RouteDriverLog(done.session.verbose, done.session.logFile, p.report)) {
        why = "cannot write the log file " + done.session.logFile;
        session::RouteDriverLog(p.o.session.verbose, p.o.session.logFile, p.report);
        return false;
    }
    return true;
}

// The line reopened with the new port settings on the line's thread, after
// the request under way (a long write too) has ended whole, within the bound.
void Reopen(GatewayParts& p, const Options& done) {
    const session::LineOptions wanted =
        ReopenSettings(p.host.line(), p.o.session.line.port, p.host.portPath(), done.session.line);
    Log(p.report, session::Severity::Info, "reload: the line is reopened with the new port settings once the requests begun on it are finished "
        "(for at most %lld s)",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kFinishBegun).count()));
    p.scheduler->ReopenLine(
        [&line = p.host.session(), &host = p.host, wanted, sink = p.report] {
            // A long device name reaches the driver through the session's link, pointed anew.
            session::LineOptions settings = wanted;
            std::string linkError;
            if (!host.DriverPortFor(wanted.port, settings.port, linkError)) {
                Log(sink, session::Severity::Info, "reload: %s; trying again after a pause", linkError.c_str());
                return false;
            }
            const bool open = line.SetReadTimeout(settings, settings.timeout) == session::DriverResult::Done;
            if (open) host.UseLine(settings);
            Log(sink, session::Severity::Info, "%s",
                open ? "reload: line reopened with the new port settings"
                     : ("reload: the new port settings cannot be opened: " + session::ExplainOpenFailure(wanted.port) +
                        "; trying again after a pause")
                           .c_str());
            return open;
        },
        kFinishBegun);
}

// Applied: the writes and the limits at once (this thread is the server's),
// the MQTT side reconnected, the diagnostics moved, the line reopened.
void Apply(GatewayParts& p, NextConfig& n) {
    Options& done = n.done;
    p.planner->Reconfigure(PolicyOf(done, *n.allow));
    p.server->Reconfigure(n.limits);
    p.statsInterval->store(done.statsInterval);
    const session::WriteAllowList* allowFor = HasWriteAllow(done) ? n.allow.get() : nullptr;
    const plan::Driver planDriver = session::PlanDriverOf(*p.checks);
    const plan::PlanOptions planOptions = session::PlanOptionsFor(p.host.line());
    std::string why;
    if (done.mqtt.url.empty() || done.sparkplug.only) {
        if (p.publisher) p.publisher->Stop();
    } else if (!p.publisher) {
        p.publisher = MakePublisher(p, done);
        if (!p.publisher->Prepare(p.check, planDriver, planOptions, allowFor, why) || !p.publisher->Start(why))
            Log(p.report, session::Severity::Info, "MQTT: %s", why.c_str());
    } else if (!p.publisher->Reconfigure(done.mqtt, p.check, planDriver, planOptions, allowFor, why)) {
        Log(p.report, session::Severity::Info, "MQTT: %s", why.c_str());
    }
    if (p.publisher && !done.mqtt.url.empty() && !done.sparkplug.only) Log(p.report, session::Severity::Info, "%s", p.publisher->Describe().c_str());
    p.allowList = n.allow;  // the old list outlived the publisher's use of it
    {
        const std::lock_guard lock(p.httpWrites.mutex);
        p.httpWrites.allow = HasWriteAllow(done) ? n.allow : nullptr;
    }
    if (done.http.empty() && p.http) {
        p.http->Stop();
        p.http.reset();
    } else if (n.http) {
        if (p.http) p.http->Stop();
        p.http = std::move(n.http);
        p.http->Start();
        Log(p.report, session::Severity::Info, "diagnostics on %s, gates %s", p.http->Url().c_str(),
            p.o.httpWrites ? "read and written (bearer token)" : "read only");
    }
    if (n.reopen) Reopen(p, done);
    p.running = n.next;
    p.o = done;
}

}  // namespace

ReloadOutcome ReloadOnServingThread(GatewayParts& p) {
    // The certificate files again, with a configuration file or without.
    if (std::string tlsWhy; p.http && !p.o.httpTlsCert.empty())
        Log(p.report, session::Severity::Info, "%s",
            p.http->ReloadTls(tlsWhy) ? ("HTTP " + p.http->DescribeTls() + " (reloaded)").c_str()
                                      : ("HTTP TLS files not reloaded, the ones in use go on: " + tlsWhy).c_str());
    NextConfig n;
    std::string why;
    if (!Prepare(p, n, why)) {
        ++p.reloadsRefused;
        Log(p.report, session::Severity::Info, "reload refused: %s; the running configuration goes on", why.c_str());
        return {ReloadResult::Refused, why};
    }
    Apply(p, n);
    ++p.reloadsApplied;
    const std::string changed = n.changes.empty() ? "nothing changed" : ChangesText(n.changes);
    Log(p.report, session::Severity::Info, "reloaded %s: %s", p.running.configFile.c_str(), changed.c_str());
    Log(p.report, session::Severity::Info, "%s", ServingText(p.o, p.host.portName(), *p.checks, p.allowList->Size(), n.limits.units).c_str());
    return {ReloadResult::Applied, changed};
}

}  // namespace qel::gateway
