// The gateway's HTTP side: the diagnostics (the line's counters, each
// front-end's, the version, the driver's banner, the line settings, the
// reloads and the charts) and the gate API on the line scheduler.
#include <chrono>

#include "cli/diagnosis_text.h"
#include "gateway/gateway_parts.h"
#include "modbus/gateway_log.h"
#include "session/gates/gate_calls.h"
#include "session/driver/cp437.h"

#ifndef QELGATE_VERSION
#define QELGATE_VERSION "unknown"
#endif

namespace qel::gateway {

namespace {

http::StatusSource DiagnosticsSource(GatewayParts& p) {
    http::StatusSource source;
    source.line = [&scheduler = *p.scheduler] { return scheduler.Snapshot(); };
    source.frontEnds.push_back({"modbus", [&server = *p.server] { return server.Stats().Take(); }});
    if (const mqtt::MqttPublisher* mqtt = p.publisher.get())
        source.frontEnds.push_back({"mqtt", [mqtt] { return mqtt->TakeStats(); }});
    if (p.spNode) source.frontEnds.push_back({"sparkplug", [&spNode = p.spNode] { return spNode->TakeStats(); }});
    source.version = QELGATE_VERSION;
    DriverInfo info{};
    if (p.checks->Describe(info) == session::DriverResult::Done && info.bannerText != nullptr)
        source.driverBanner = session::Cp437ToUtf8(info.bannerText);
    const session::LineOptions& line = p.host.line();
    source.port = {p.host.portName(), line.baud, line.dataBits, line.parity, line.stopBits, line.timeout};
    source.started = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    source.trends = [&trends = p.trends](double now) { return trends.Take(now); };
    if (p.recorder)
        source.recording = [&p] {
            const record::RecorderCounts counts = p.recorder->Counts();
            return http::RecordingCounts{p.o.recordFile, counts.file.changes, counts.recorded, counts.file.dropped,
                                         counts.lost, counts.failing};
        };
    source.reloads = [&p] { return http::ReloadCounts{p.reloadsApplied.load(), p.reloadsRefused.load()}; };
    return source;
}

}  // namespace

void LoadTags(GatewayParts& p) {
    p.tags.reset();
    const mqtt::MqttOptions& m = p.o.mqtt;
    if (m.publishFile.empty() && m.publishLines.empty()) return;
    std::vector<session::ListedGate> listed;
    std::string error;
    const bool inline_ = m.publishFile.empty();
    const std::string origin = inline_ ? m.publishOrigin : m.publishFile;
    if (!(inline_ ? session::ParseGateList(m.publishLines, origin, listed, error)
                  : session::ReadGateList(origin, listed, error)))
        return;
    auto tags = std::make_shared<session::TagTable>();
    if (!tags->Load(listed, *p.gates, origin, error,
                    [](const session::GateDiagnosis& d) { return cli::GateDiagnosisText(d); })) {
        modbus::Log(p.report, session::Severity::Warning, "HTTP tags: %s", error.c_str());
        return;
    }
    if (!tags->Empty()) p.tags = std::move(tags);
}

std::unique_ptr<http::HttpServer> MakeHttp(GatewayParts& p) {
    auto diagnostics = std::make_unique<http::HttpServer>(DiagnosticsSource(p));
    // The gate API's calls wait in an inbox of the scheduler's own to this
    // server, which its loop waits on: a server that a reload replaced
    // leaves no answer to the next one.
    auto calls = std::make_shared<session::GateCalls>(*p.gates, *p.scheduler);
    http::GateSource gateSource;
    gateSource.read = [calls](std::uint64_t tag, const std::string& gas, int count) {
        return calls->Read(tag, gas, count);
    };
    if (p.o.httpWrites) {
        gateSource.write = [calls, &state = p.httpWrites](std::uint64_t tag, const std::string& gas, long long value) {
            std::shared_ptr<const session::WriteAllowList> allow;
            {
                const std::lock_guard lock(state.mutex);
                allow = state.allow;
            }
            return calls->Write(tag, gas, value, allow.get());
        };
        gateSource.token = p.httpToken;
    }
    if (const std::shared_ptr<const session::TagTable> tags = p.tags) {
        // A tag's call is begun by its table and queued with the gates'.
        session::GateAccess& gates = *p.gates;
        gateSource.readTag = [calls, tags, &gates](std::uint64_t tag, const std::string& name) {
            session::TagResult now;
            std::unique_ptr<session::GateCall> call = tags->BeginRead(gates, name, now);
            if (!call) return std::optional<session::TagResult>(std::move(now));
            calls->Submit(tag, std::move(call), {});
            return std::optional<session::TagResult>();
        };
        gateSource.finishTag = [tags](const std::string& name, const session::GateResult& words) {
            return tags->Finished(name, words);
        };
        if (p.o.httpWrites)
            gateSource.writeTag = [calls, tags, &gates, &state = p.httpWrites](std::uint64_t tag,
                                                                               const std::string& name, double value) {
                std::shared_ptr<const session::WriteAllowList> allow;
                {
                    const std::lock_guard lock(state.mutex);
                    allow = state.allow;
                }
                session::TagResult now;
                std::unique_ptr<session::GateCall> call = tags->BeginWrite(gates, name, value, allow.get(), now);
                if (!call) return std::optional<session::TagResult>(std::move(now));
                calls->Submit(tag, std::move(call), {});
                return std::optional<session::TagResult>();
            };
    }
    gateSource.wakeFd = calls->WakeFd();
    gateSource.collect = [calls] { return calls->Collect(); };
    gateSource.words = [](const session::GateResult& r) {
        return r.line ? cli::DiagnosisText(*r.line) : r.gate ? cli::GateDiagnosisText(*r.gate) : r.reason;
    };
    diagnostics->ServeGates(std::move(gateSource));
    return diagnostics;
}

}  // namespace qel::gateway
