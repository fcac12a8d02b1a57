// The gateway's HTTP side: the diagnostics (the line's counters, each
// front-end's, the version, the driver's banner, the line settings, the
// reloads and the charts) and the gate API on the line scheduler.
#include <chrono>

#include "cli/diagnosis_text.h"
#include "gateway/gateway_parts.h"
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
    source.reloads = [&p] { return http::ReloadCounts{p.reloadsApplied.load(), p.reloadsRefused.load()}; };
    return source;
}

}  // namespace

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
    gateSource.wakeFd = calls->WakeFd();
    gateSource.collect = [calls] { return calls->Collect(); };
    gateSource.words = [](const session::GateResult& r) {
        return r.line ? cli::DiagnosisText(*r.line) : r.gate ? cli::GateDiagnosisText(*r.gate) : r.reason;
    };
    diagnostics->ServeGates(std::move(gateSource));
    return diagnostics;
}

}  // namespace qel::gateway
