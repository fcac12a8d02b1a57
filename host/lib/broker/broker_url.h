// The address of an MQTT broker, from mqtt://HOST[:PORT] or mqtts://HOST[:PORT].
#pragma once

#include <string>

namespace qel::broker {

struct BrokerAddress {
    std::string host;
    int port = 1883;
    bool tls = false;
};
// mqtt://HOST[:PORT] (1883), mqtts://HOST[:PORT] (8883); an IPv6 host in brackets.
bool ParseBrokerUrl(const std::string& url, BrokerAddress& address, std::string& error);

}  // namespace qel::broker
