// The MQTT front-end's settings and their command-line options.
#pragma once

#include <string>

#include "store/store_limits.h"

namespace CLI {
class App;
}

namespace qel::mqtt {

struct MqttOptions {
    std::string url;          // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]; empty: no MQTT
    std::string publishFile;  // the gate list
    double publishPeriod = 1;  // seconds, for the gates without their own
    double publishEvery = 60;  // seconds between two publications of an unchanged value
    std::string prefix;        // default fa/<line name>
    std::string lineName;      // default the port's base name
    std::string user;
    std::string password;
    std::string passwordFile;
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

// After parsing: the defaults that depend on the port, the password from its
// file or from QELGATE_MQTT_PASSWORD, the buffer's directory from
// STATE_DIRECTORY and its bound. False with a reason.
bool CompleteMqttOptions(MqttOptions& options, const std::string& port, std::string& error);

struct BrokerAddress {
    std::string host;
    int port = 1883;
    bool tls = false;
};
// mqtt://HOST[:PORT] (1883), mqtts://HOST[:PORT] (8883); an IPv6 host in brackets.
bool ParseBrokerUrl(const std::string& url, BrokerAddress& address, std::string& error);

}  // namespace qel::mqtt
