// The parts of a running gateway, for the files that build, reload and stop
// it (inside the gateway library only). Declared in the order they are made,
// so that they go in the reverse: the front-ends before the line they use.
#pragma once

#include <atomic>
#include <bitset>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/gate_options.h"
#include "gateway/gateway.h"
#include "http/http_server.h"
#include "modbus/gateway_server.h"
#include "modbus/line_worker.h"
#include "modbus/request_planner.h"
#include "mqtt/mqtt_publisher.h"
#include "record/recorder.h"
#include "record/recording_writer.h"
#include "session/driver/qel_session.h"
#include "session/gates/gate_access.h"
#include "session/gates/tag_table.h"
#include "session/gates/trend_history.h"
#include "session/gates/write_allow.h"
#include "session/host_context.h"
#include "session/line/line_poller.h"
#include "session/line/line_scheduler.h"
#include "session/report/service_notify.h"
#include "sparkplug/sparkplug_node.h"

namespace qel::gateway {

// What the HTTP gate writes read at each write: the allow-list a reload
// replaces, under a mutex (the HTTP workers read it, the reload swaps it).
struct HttpWriteState {
    std::mutex mutex;
    std::shared_ptr<const session::WriteAllowList> allow;
};

struct GatewayParts {
    explicit GatewayParts(session::ReportSink sink) : report(std::move(sink)), host(report) {}
    ~GatewayParts();

    session::ReportSink report;  // the program's sink, for every part
    std::vector<std::string> commandLine;
    Options running;  // as the command line and the file gave them
    Options o;        // completed: absolute paths, the MQTT defaults

    // The line's session (used by the line's thread only), a session
    // without a line for the Modbus side's checks (the serving thread only)
    // and one for the HTTP gate API's.
    session::HostContext host;
    std::unique_ptr<session::QelSession> checks;
    session::GateCheck check;
    std::shared_ptr<session::WriteAllowList> allowList;
    std::shared_ptr<session::WriteAllowList> nodeAllow;  // the node keeps the list it started with
    std::unique_ptr<modbus::RequestPlanner> planner;
    modbus::ServerLimits limits;
    // The recording (--record), written by the rounds' callback on the
    // scheduler: made before it, so that it goes after every round.
    record::RecordingWriter recording;
    std::unique_ptr<record::Recorder> recorder;
    std::unique_ptr<session::LineScheduler> scheduler;
    std::shared_ptr<std::atomic<double>> statsInterval;
    session::WatchdogPinger watchdog;
    session::TrendHistory trends;
    std::bitset<256> asked;  // the stations asked what they answer as (line's thread)
    std::unique_ptr<modbus::LineWorker> worker;
    std::unique_ptr<sparkplug::SparkplugNode> spNode;
    // Never destroyed while the gateway runs: the diagnostics' thread may
    // be reading its counters.
    std::unique_ptr<mqtt::MqttPublisher> publisher;
    std::unique_ptr<session::LinePoller> poller;
    std::unique_ptr<modbus::GatewayServer> server;
    std::unique_ptr<session::QelSession> gateChecks;
    std::unique_ptr<session::GateAccess> gates;
    // The publish list's named tags, by name over HTTP, as the list stood at
    // the start (a list in error is the MQTT side's to report).
    std::shared_ptr<const session::TagTable> tags;
    HttpWriteState httpWrites;
    std::string httpToken;
    std::atomic<std::uint64_t> reloadsApplied{0}, reloadsRefused{0};
    std::unique_ptr<http::HttpServer> http;

    // The serving thread, told by bytes on a pipe: 'H' reload, 'S' stop.
    int control[2] = {-1, -1};
    std::thread serving;
    std::mutex reloadMutex;
    std::condition_variable reloaded;
    std::uint64_t reloadsAsked = 0, reloadsDone = 0;
    ReloadOutcome lastReload;
    bool started = false;

};

// The write policy of these options over this list.
modbus::WritePolicy PolicyOf(const Options& options, const session::WriteAllowList& list);
// The Modbus side's limits of these options; false with a reason.
bool LimitsOf(const Options& options, const session::StationModels& models, modbus::ServerLimits& limits,
              std::string& error);

// The publish list's named tags, checked through parts.gates; a list that
// does not load leaves none and says so in the log.
void LoadTags(GatewayParts& parts);

// The diagnostics server with the gate API, wired to the parts (its
// MQTT counters are those of the publisher running when it is made).
std::unique_ptr<http::HttpServer> MakeHttp(GatewayParts& parts);
// A publisher of the gate list on the parts' line, its values to the trends.
std::unique_ptr<mqtt::MqttPublisher> MakePublisher(GatewayParts& parts, const Options& options);

// Opens --record and hands it the values of every round on the parts'
// line; false with a reason (a place that cannot hold it: a damaged file is
// set aside, said in the log, and a new one begun).
bool StartRecording(GatewayParts& parts, std::string& error);
// At a stop, after the rounds: the recording's end noted, and one line for
// the log, what it kept.
std::string RecordingSummary(GatewayParts& parts);

// The reload, on the serving thread between two turns of the Modbus loop.
ReloadOutcome ReloadOnServingThread(GatewayParts& parts);

}  // namespace qel::gateway
