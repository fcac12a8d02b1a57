// The broker link against a real mosquitto on a free loopback port, through
// a proxy of ours that can cut the connection as a failing network does:
// the Will the broker publishes for a lost connection (asked anew for each
// connection), the reconnect with its hello, the farewell of a clean stop
// (and no Will then), and a broker that is not there yet.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "broker/broker_link.h"
#include "support/broker_rig.h"
#include "support/free_port.h"

namespace {

using namespace std::chrono_literals;
using qel::broker::BrokerLink;
using qel::broker::BrokerSettings;
using qel::broker::LinkMessage;
using qel::broker::Presence;
using testsupport::Mosquitto;
using testsupport::Proxy;
using testsupport::WaitFor;
using testsupport::Watcher;

TEST(BrokerLink, ALostConnectionLeavesItsWillAndReconnectsWithANewOne) {
    Mosquitto broker(testsupport::FreeLoopbackPort());
    ASSERT_TRUE(broker.Ready());
    Proxy proxy(std::stoi(broker.Url().substr(broker.Url().rfind(':') + 1)));
    Watcher watcher(broker.Url(), "node/#");
    ASSERT_TRUE(watcher.Started());

    std::atomic<int> wills{0}, connects{0}, disconnects{0};
    Presence presence;
    presence.will = [&wills] { return LinkMessage{"node/state", "dead " + std::to_string(++wills), 1, false}; };
    presence.hello = LinkMessage{"node/state", "alive", 1, false};
    presence.farewell = [] { return LinkMessage{"node/state", "bye", 1, false}; };
    BrokerLink::Callbacks callbacks;
    callbacks.connected = [&connects] { ++connects; };
    callbacks.disconnected = [&disconnects] { ++disconnects; };
    std::mutex logMutex;
    std::vector<std::string> log;
    BrokerLink link(Watcher::Settings(proxy.Url(), "node"), presence, callbacks, [&](const std::string& line) {
        std::lock_guard lock(logMutex);
        log.push_back(line);
    });
    std::string error;
    ASSERT_TRUE(link.Start(error)) << error;
    ASSERT_TRUE(WaitFor([&] { return link.Connected(); }, 10s));
    EXPECT_TRUE(watcher.WaitSeen("node/state alive"));
    EXPECT_EQ(connects.load(), 1);
    EXPECT_EQ(wills.load(), 1);
    EXPECT_TRUE(link.Publish("node/data", "1", 1, false));
    EXPECT_TRUE(watcher.WaitSeen("node/data 1"));

    for (int cut = 1; cut <= 2; ++cut) {
        proxy.Cut();
        // The broker publishes the Will of the connection it lost: the one
        // asked for that connection.
        EXPECT_TRUE(watcher.WaitSeen("node/state dead " + std::to_string(cut))) << cut;
        ASSERT_TRUE(WaitFor([&] { return disconnects.load() == cut; }, 10s)) << cut;
        // Back within the retry pause (0.5 to 1.5 s), with a new Will and
        // its hello again.
        ASSERT_TRUE(WaitFor([&] { return connects.load() == cut + 1 && link.Connected(); }, 10s)) << cut;
        EXPECT_EQ(wills.load(), cut + 1) << cut;
        EXPECT_TRUE(WaitFor([&] { return watcher.Count("node/state alive") == static_cast<std::size_t>(cut + 1); },
                            10s))
            << cut;
    }
    EXPECT_EQ(proxy.Accepted(), 3);
    EXPECT_TRUE(link.Publish("node/data", "2", 1, false));
    EXPECT_TRUE(watcher.WaitSeen("node/data 2"));

    // A clean stop: the farewell, and no Will after it.
    link.Stop();
    EXPECT_TRUE(watcher.WaitSeen("node/state bye"));
    EXPECT_FALSE(link.Connected());
    EXPECT_FALSE(link.Publish("node/data", "3", 1, false));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(watcher.Count("node/state dead 3"), 0u);
    EXPECT_EQ(disconnects.load(), 3);
    std::lock_guard lock(logMutex);
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.rfind("reconnected to the MQTT broker", 0) == 0; }),
              2)
        << ::testing::PrintToString(log);
}

TEST(BrokerLink, ABrokerNotThereYetIsLoggedOnceAndReachedWhenItComes) {
    const int port = testsupport::FreeLoopbackPort();
    std::mutex logMutex;
    std::vector<std::string> log;
    std::atomic<int> connects{0};
    BrokerLink::Callbacks callbacks;
    callbacks.connected = [&connects] { ++connects; };
    BrokerLink link(Watcher::Settings("mqtt://127.0.0.1:" + std::to_string(port), "early"), Presence{}, callbacks,
                    [&](const std::string& line) {
                        std::lock_guard lock(logMutex);
                        log.push_back(line);
                    });
    std::string error;
    ASSERT_TRUE(link.Start(error)) << error;
    std::this_thread::sleep_for(2500ms);  // two tries at least
    EXPECT_FALSE(link.Connected());
    EXPECT_FALSE(link.Publish("early/x", "1", 1, false));
    {
        std::lock_guard lock(logMutex);
        ASSERT_EQ(log.size(), 1u) << ::testing::PrintToString(log);
        EXPECT_NE(log[0].find("not reachable"), std::string::npos) << log[0];
        EXPECT_NE(log[0].find(std::to_string(port)), std::string::npos) << log[0];
    }
    Mosquitto broker(port);
    ASSERT_TRUE(broker.Ready());
    EXPECT_TRUE(WaitFor([&] { return link.Connected(); }, 5s));
    EXPECT_EQ(connects.load(), 1);
    link.Stop();
    std::lock_guard lock(logMutex);
    EXPECT_EQ(log.back().rfind("connected to the MQTT broker", 0), 0u) << log.back();
}

TEST(BrokerLink, SettingsItCannotUseAreRefusedAtStart) {
    for (const char* url : {"tcp://127.0.0.1:1883", "mqtt://", "mqtt://host:99999"}) {
        BrokerSettings settings;
        settings.url = url;
        settings.clientId = "refused";
        BrokerLink link(settings, Presence{}, BrokerLink::Callbacks{}, [](const std::string&) {});
        std::string error;
        EXPECT_FALSE(link.Start(error)) << url;
        EXPECT_NE(error.find(url), std::string::npos) << error;
    }
}

}  // namespace

namespace {

// A clean stop, again and again, right after connecting and publishing:
// each one says its farewell and leaves no Will behind.
TEST(BrokerLink, EveryCleanStopSaysFarewellAndLeavesNoWill) {
    Mosquitto broker(testsupport::FreeLoopbackPort());
    ASSERT_TRUE(broker.Ready());
    Watcher watcher(broker.Url(), "stop/#");
    ASSERT_TRUE(watcher.Started());
    constexpr int kStops = 20;
    for (int n = 0; n < kStops; ++n) {
        Presence presence;
        presence.will = [n] { return LinkMessage{"stop/state", "dead " + std::to_string(n), 1, false}; };
        presence.farewell = [n] { return LinkMessage{"stop/state", "bye " + std::to_string(n), 1, false}; };
        BrokerLink link(Watcher::Settings(broker.Url(), "stopper"), presence, BrokerLink::Callbacks{},
                        [](const std::string&) {});
        std::string error;
        ASSERT_TRUE(link.Start(error)) << error;
        ASSERT_TRUE(WaitFor([&] { return link.Connected(); }, 10s)) << n;
        EXPECT_TRUE(link.Publish("stop/data", std::to_string(n), 1, false)) << n;
        link.Stop();
    }
    for (int n = 0; n < kStops; ++n) EXPECT_TRUE(watcher.WaitSeen("stop/state bye " + std::to_string(n), 5s)) << n;
    std::this_thread::sleep_for(300ms);
    for (int n = 0; n < kStops; ++n) EXPECT_EQ(watcher.Count("stop/state dead " + std::to_string(n)), 0u) << n;
}

}  // namespace
