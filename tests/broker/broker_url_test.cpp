// The broker's address from --mqtt: the scheme sets TLS and the default
// port, a port is 1 to 65535, an IPv6 host is in brackets; anything else is
// refused with the URL named.
#include <gtest/gtest.h>

#include <string>

#include "broker/broker_url.h"

namespace {

struct UrlCase {
    const char* url;
    bool ok;
    const char* host;
    int port;
    bool tls;
};

TEST(BrokerUrl, TakesTheAddressOrRefusesIt) {
    const UrlCase cases[] = {
        {"mqtt://broker.plant", true, "broker.plant", 1883, false},
        {"mqtt://broker.plant/", true, "broker.plant", 1883, false},
        {"mqtt://10.0.0.5:1884", true, "10.0.0.5", 1884, false},
        {"mqtts://broker.plant", true, "broker.plant", 8883, true},
        {"mqtts://broker.plant:443", true, "broker.plant", 443, true},
        {"mqtt://[::1]", true, "::1", 1883, false},
        {"mqtt://[fe80::1]:1999", true, "fe80::1", 1999, false},
        {"mqtt://h:1", true, "h", 1, false},
        {"mqtt://h:65535", true, "h", 65535, false},
        {"mqtt://h:0", false, "", 0, false},
        {"mqtt://h:65536", false, "", 0, false},
        {"mqtt://h:123456", false, "", 0, false},
        {"mqtt://h:", false, "", 0, false},
        {"mqtt://h:-1", false, "", 0, false},
        {"mqtt://h:18x3", false, "", 0, false},
        {"mqtt://h:1883:1", false, "", 0, false},
        {"mqtt://", false, "", 0, false},
        {"mqtt://:1883", false, "", 0, false},
        {"mqtt://user@h", false, "", 0, false},
        {"mqtt://h/topic", false, "", 0, false},
        {"mqtt://[::1", false, "", 0, false},
        {"mqtt://[::1]x", false, "", 0, false},
        {"mqtt://[]:1883", false, "", 0, false},
        {"http://h", false, "", 0, false},
        {"MQTT://h", false, "", 0, false},
        {"broker.plant:1883", false, "", 0, false},
        {"", false, "", 0, false},
    };
    for (const UrlCase& c : cases) {
        qel::broker::BrokerAddress address;
        std::string error;
        const bool ok = qel::broker::ParseBrokerUrl(c.url, address, error);
        ASSERT_EQ(ok, c.ok) << c.url;
        if (ok) {
            EXPECT_EQ(address.host, c.host) << c.url;
            EXPECT_EQ(address.port, c.port) << c.url;
            EXPECT_EQ(address.tls, c.tls) << c.url;
            EXPECT_TRUE(error.empty()) << c.url << ": " << error;
        } else {
            EXPECT_NE(error.find(std::string("\"") + c.url + "\""), std::string::npos) << error;
        }
    }
}

}  // namespace
