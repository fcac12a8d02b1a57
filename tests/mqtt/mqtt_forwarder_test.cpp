// Store and forward against a real mosquitto through a proxy that cuts the
// connection: every message the store took reaches a subscriber, oldest
// first, across a lost connection and while the broker is away; the store
// empties as the broker acknowledges; and of a backlog only a topic's newest
// value is left retained.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "broker/broker_link.h"
#include "mqtt/mqtt_forwarder.h"
#include "session/line/line_stats.h"
#include "store/message_store.h"
#include "support/broker_rig.h"
#include "support/free_port.h"
#include "support/temp_store.h"

namespace {

using namespace std::chrono_literals;
using qel::broker::BrokerLink;
using qel::store::StoredMessage;
using testsupport::WaitFor;

constexpr unsigned kSent = 0x100;  // the forwarder's request code in the stats

// A store, the forwarder on it and a broker link to `url` that tells the
// forwarder of each connection and acknowledgement; stopped in that order.
class Forwarding {
public:
    Forwarding(const std::string& url, const std::string& client)
        : link(testsupport::Watcher::Settings(url, client), {}, Told(forwarder), [](const std::string&) {}) {}
    ~Forwarding() {
        forwarder.Stop();
        link.Stop();
    }
    Forwarding(const Forwarding&) = delete;
    Forwarding& operator=(const Forwarding&) = delete;

    testing::AssertionResult Open() {
        std::string error;
        if (!store.Open(temp.Path(), {}, error)) return testing::AssertionFailure() << error;
        return testing::AssertionSuccess();
    }
    // The forwarder's thread, then the link's connection.
    testing::AssertionResult Start() {
        forwarder.Start(link);
        std::string error;
        if (!link.Start(error)) return testing::AssertionFailure() << error;
        return testing::AssertionSuccess();
    }

    testsupport::TempStore temp;
    qel::store::MessageStore store;
    qel::session::FrontEndStats stats;
    qel::mqtt::MqttForwarder forwarder{store, 2000, stats, kSent, [](const std::string&) {}};
    BrokerLink link;

private:
    static BrokerLink::Callbacks Told(qel::mqtt::MqttForwarder& forwarder) {
        BrokerLink::Callbacks callbacks;
        callbacks.connected = [&forwarder] { forwarder.Connected(); };
        callbacks.published = [&forwarder](int mid) { forwarder.Acknowledged(mid); };
        return callbacks;
    }
};

std::vector<StoredMessage> Messages(int from, int to, const std::string& topic = "fw/value", bool retain = false) {
    std::vector<StoredMessage> out;
    for (int n = from; n <= to; ++n) out.push_back({0, topic, std::to_string(n), 1, retain, 1700000000000 + n});
    return out;
}

// The payloads seen on fw/value, each once, in the order first seen.
std::vector<int> FirstSeen(const testsupport::Watcher& watcher) {
    std::vector<int> order;
    std::set<int> seen;
    for (const std::string& m : watcher.Seen()) {
        if (m.rfind("fw/value ", 0) != 0) continue;
        const int n = std::stoi(m.substr(9));
        if (seen.insert(n).second) order.push_back(n);
    }
    return order;
}

std::vector<int> Range(int from, int to) {
    std::vector<int> out;
    for (int n = from; n <= to; ++n) out.push_back(n);
    return out;
}

TEST(MqttForwarder, LosesNothingAcrossALostConnectionAndSendsOldestFirst) {
    testsupport::Mosquitto broker(testsupport::FreeLoopbackPort());
    ASSERT_TRUE(broker.Ready());
    testsupport::Proxy proxy(std::stoi(broker.Url().substr(broker.Url().rfind(':') + 1)));
    testsupport::Watcher watcher(broker.Url(), "fw/#");
    ASSERT_TRUE(watcher.Started());

    Forwarding forwarding(proxy.Url(), "forwarder");
    ASSERT_TRUE(forwarding.Open());
    qel::mqtt::MqttForwarder& forwarder = forwarding.forwarder;
    BrokerLink& link = forwarding.link;

    // Taken before there is any broker: kept.
    std::vector<StoredMessage> first = Messages(1, 40);
    forwarder.Submit(first);
    EXPECT_EQ(forwarder.Counts().depth, 40u);
    ASSERT_TRUE(forwarding.Start());

    ASSERT_TRUE(WaitFor([&] { return FirstSeen(watcher).size() == 40; }, 10s)) << FirstSeen(watcher).size();
    EXPECT_EQ(FirstSeen(watcher), Range(1, 40));
    EXPECT_TRUE(WaitFor([&] { return forwarder.Counts().depth == 0; }, 10s)) << forwarder.Counts().depth;

    // The connection is cut; what comes meanwhile waits in the store.
    proxy.Cut();
    ASSERT_TRUE(WaitFor([&] { return !link.Connected(); }, 10s));
    std::vector<StoredMessage> second = Messages(41, 80);
    forwarder.Submit(second);
    ASSERT_TRUE(WaitFor([&] { return FirstSeen(watcher).size() == 80; }, 15s)) << FirstSeen(watcher).size();
    EXPECT_EQ(FirstSeen(watcher), Range(1, 80));
    EXPECT_TRUE(WaitFor([&] { return forwarder.Counts().depth == 0; }, 10s)) << forwarder.Counts().depth;
    EXPECT_GE(forwarder.Counts().forwarded, 80u);
    EXPECT_GE(forwarding.stats.Take().requests[kSent], 80u);
}

TEST(MqttForwarder, OfABacklogOnlyTheNewestIsLeftRetained) {
    testsupport::Mosquitto broker(testsupport::FreeLoopbackPort());
    ASSERT_TRUE(broker.Ready());
    Forwarding forwarding(broker.Url(), "retainer");
    ASSERT_TRUE(forwarding.Open());
    qel::mqtt::MqttForwarder& forwarder = forwarding.forwarder;
    std::vector<StoredMessage> backlog = Messages(1, 5, "fw/level", true);
    forwarder.Submit(backlog);
    ASSERT_TRUE(forwarding.Start());
    ASSERT_TRUE(WaitFor([&] { return forwarder.Counts().depth == 0; }, 10s)) << forwarder.Counts().depth;

    // A subscriber that comes later is given the retained value: the newest.
    testsupport::Watcher later(broker.Url(), "fw/level");
    ASSERT_TRUE(later.Started());
    EXPECT_TRUE(later.WaitSeen("fw/level 5", 5s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(later.Seen(), std::vector<std::string>{"fw/level 5"});
}

}  // namespace
