#include "broker/broker_url.h"

#include <string>

namespace qel::broker {

bool ParseBrokerUrl(const std::string& url, BrokerAddress& address, std::string& error) {
    error = "--mqtt: expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT], not \"" + url + "\"";
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
        address = {"", 1883, false};
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        address = {"", 8883, true};
    } else {
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos) return false;
        address.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') return false;
            portText = rest.substr(close + 2);
        }
    } else {
        const auto colon = rest.find(':');
        address.host = rest.substr(0, colon);
        if (colon != std::string::npos) portText = rest.substr(colon + 1);
    }
    if (address.host.empty() || address.host.find_first_of("/@ ") != std::string::npos) return false;
    if (!portText.empty() || rest.back() == ':') {
        if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
            return false;
        address.port = std::stoi(portText);
        if (address.port < 1 || address.port > 65535) return false;
    }
    error.clear();
    return true;
}

}  // namespace qel::broker
