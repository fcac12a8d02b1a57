#include "gateway/check_config.h"

#include <bitset>

#include "cli/setting_words.h"
#include "cli/worded_check.h"
#include "gateway/option_checks.h"
#include "mqtt/mqtt_publisher.h"
#include "session/driver/driver_log.h"
#include "session/driver/plan_link.h"
#include "session/line/line_poller.h"
#include "sparkplug/sparkplug_options.h"

namespace qel::gateway {

session::OpenResult CheckConfiguration(Options o, std::string& error, const session::ReportSink& report) {
    using session::OpenResult;
    if (!session::RouteDriverLog(o.session.verbose, "", report)) return OpenResult::BadSetting;
    if (!CheckCombination(o, error)) return OpenResult::BadSetting;
    mqtt::MqttOptions completed = o.mqtt;
    sparkplug::SparkplugOptions completedNode = o.sparkplug;
    if (!CompletePublishing(o, completed, completedNode, error)) return OpenResult::BadSetting;
    session::SessionOptions noLine = o.session;
    noLine.line.port.clear();
    session::HostContext host(report);
    if (const OpenResult opened = host.Open(noLine); opened != OpenResult::Ready) {
        error = cli::OpenFaultWords(host.openFault(), host.portName());
        return OpenResult::BadSetting;
    }
    session::QelSession& checks = host.session();
    const session::GateCheck check = cli::WordedGateCheck(checks, host.models());
    session::WriteAllowList allowList;
    std::bitset<256> units;
    std::string token, warning;
    if (!LoadWriteAllow(o, check, allowList, error) || !UnitsOf(o, host.models(), units, error) ||
        (o.httpWrites && !ReadHttpToken(o.httpTokenFile, token, warning, error)))
        return OpenResult::BadSetting;
    if (!warning.empty()) session::Report(report, session::Severity::Warning, warning);
    if (!o.pollFile.empty()) {
        session::LineScheduler idle(checks, session::SchedulerOptionsFor(o.session));
        session::LinePoller poller(idle);
        if (!poller.Prepare(o.pollFile, check, session::PlanDriverOf(checks), session::PlanOptionsFor(host.line()),
                            error)) {
            error = "--poll " + error;
            return OpenResult::BadSetting;
        }
    }
    if (!completed.url.empty()) {
        session::LineScheduler idle(checks, session::SchedulerOptionsFor(o.session));
        mqtt::MqttPublisher publisher(idle, completed, [](const std::string&) {});
        if (!publisher.Prepare(check, session::PlanDriverOf(checks), session::PlanOptionsFor(host.line()), nullptr,
                               error))
            return OpenResult::BadSetting;
    }
    return OpenResult::Ready;
}

}  // namespace qel::gateway
