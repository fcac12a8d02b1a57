// The MQTT front-end's settings and their command-line options.
#pragma once

#include <string>
#include <vector>

#include "common/line_file.h"

#include "broker/broker_link.h"
#include "broker/broker_url.h"
#include "store/store_limits.h"

namespace CLI {
class App;
}

namespace qel::mqtt {

struct MqttOptions {
    std::string url;          // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; empty: no MQTT
    std::string publishFile;  // the gate list
    // Or the list's entries, given inline (a configuration file), and where
    // they came from for the errors.
    std::vector<common::TextLine> publishLines;
    std::string publishOrigin;
    double publishPeriod = 1;  // seconds, for the gates without their own
    double publishEvery = 60;  // seconds between two publications of an unchanged value
    std::string prefix;        // default fa/<line name>
    std::string lineName;      // default the port's base name, made topic-safe
    std::string user;
    std::string password;
    std::string passwordFile;
    std::string passwordWarning;  // the password file's mode is unwise: why, and what it should be
    std::string cafile;
    std::string cert;
    std::string key;
    std::string clientId;  // default qelgate-<line name>-<pid>
    bool writes = false;
    int keepalive = 30;
    // Store and forward: the directory of the on-disk queue; empty: none.
    // The default is systemd's $STATE_DIRECTORY when it is set; "off" turns it off.
    std::string buffer;
    std::string bufferMax = "100MB";  // store::ParseStoreLimits
    double bufferRate = 500;          // messages a second at most from the queue to the broker
    store::StoreLimits bufferLimits;  // from bufferMax
    std::string bufferFile;           // buffer/mqtt-<line name>.db
};

void AddMqttOptions(CLI::App& app, MqttOptions& options);

// Whether a --line-name can name topics, a Sparkplug edge node and the
// buffer's file: at most kMaxLineName bytes, no control byte; false with why.
inline constexpr std::size_t kMaxLineName = 64;
bool CheckLineName(const std::string& name, std::string& error);

// The line's name in the topics when --line-name is not given: the port's
// base name ("ttyUSB0"), or for tcp:HOST:PORT "HOST_PORT", with any
// character that cannot stand in a topic made '_'.
std::string DefaultLineName(const std::string& port);

// --mqtt and a list to publish (--publish, or inline) go together; false
// with a reason when one comes without the other.
bool CheckMqttPair(const MqttOptions& options, std::string& error);

// After parsing: the defaults that depend on the port, the password from its
// file or from QELGATE_MQTT_PASSWORD, the buffer's directory from
// STATE_DIRECTORY and its bound. False with a reason.
bool CompleteMqttOptions(MqttOptions& options, const std::string& port, std::string& error);

// The connection's settings for the broker link.
broker::BrokerSettings BrokerSettingsOf(const MqttOptions& options);

using broker::BrokerAddress;
using broker::ParseBrokerUrl;

}  // namespace qel::mqtt
