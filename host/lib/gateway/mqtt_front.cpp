// The gateway's MQTT side: the publisher of the gate list, whose values
// also feed the status page's charts.
#include <chrono>

#include "gateway/gateway_parts.h"

namespace qel::gateway {

std::unique_ptr<mqtt::MqttPublisher> MakePublisher(GatewayParts& p, const Options& options) {
    auto publisher = std::make_unique<mqtt::MqttPublisher>(
        *p.scheduler, options.mqtt, [sink = p.report](const std::string& text) { modbus::Log(sink, session::Severity::Info, "%s", text.c_str()); });
    // A tag's series is named by the tag, in its units.
    publisher->onValue = [&trends = p.trends](const session::GateReading& gate, std::optional<double> value) {
        trends.Value(gate.gate.gas, value,
                     std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(),
                     gate.tag, gate.spec.unit);
    };
    return publisher;
}

}  // namespace qel::gateway
