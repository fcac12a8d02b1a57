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
#include "support/free_port.h"

namespace {

using namespace std::chrono_literals;
using qel::broker::BrokerLink;
using qel::broker::BrokerSettings;
using qel::broker::LinkMessage;
using qel::broker::Presence;

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds most) {
    const auto end = std::chrono::steady_clock::now() + most;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

int ConnectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// mosquitto on 127.0.0.1:port, anonymous clients allowed.
class Mosquitto {
public:
    explicit Mosquitto(int port) : port_(port) {
        conf_ = "/tmp/broker_link_test_" + std::to_string(port) + ".conf";
        std::ofstream(conf_) << "listener " << port << " 127.0.0.1\nallow_anonymous true\n";
        pid_ = fork();
        if (pid_ == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf_.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        ready_ = WaitFor(
            [port] {
                const int fd = ConnectTo(port);
                if (fd >= 0) close(fd);
                return fd >= 0;
            },
            10s);
    }
    ~Mosquitto() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::remove(conf_.c_str());
    }
    Mosquitto(const Mosquitto&) = delete;
    Mosquitto& operator=(const Mosquitto&) = delete;
    bool Ready() const { return ready_; }
    std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

private:
    int port_;
    std::string conf_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// A TCP proxy to the broker, one connection at a time; Cut() closes it on
// both sides without a word, as a cable pulled out does for the broker.
class Proxy {
public:
    explicit Proxy(int upstream) : upstream_(upstream) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        listen(listener_, 4);
        thread_ = std::thread([this] { Run(); });
    }
    ~Proxy() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    void Cut() { cut_ = true; }
    int Accepted() const { return accepted_.load(); }

private:
    void Run() {
        int client = -1, server = -1;
        while (!stop_) {
            if (cut_ && client >= 0) {
                close(client);
                close(server);
                client = server = -1;
            }
            cut_ = false;
            pollfd fds[3] = {{listener_, POLLIN, 0}, {client, POLLIN, 0}, {server, POLLIN, 0}};
            if (poll(fds, 3, 20) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                const int accepted = accept(listener_, nullptr, nullptr);
                if (client >= 0) {
                    close(client);
                    close(server);
                }
                client = accepted;
                server = ConnectTo(upstream_);
                ++accepted_;
                continue;
            }
            bool lost = false;
            for (int side = 1; side <= 2 && !lost; ++side) {
                if (!(fds[side].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                char buffer[4096];
                const ssize_t n = read(fds[side].fd, buffer, sizeof buffer);
                const int to = side == 1 ? server : client;
                lost = n <= 0 || write(to, buffer, static_cast<std::size_t>(n)) != n;
            }
            if (lost) {
                close(client);
                close(server);
                client = server = -1;
            }
        }
        if (client >= 0) close(client);
        if (server >= 0) close(server);
    }

    int upstream_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cut_{false};
    std::atomic<int> accepted_{0};
};

// What the broker delivers on a topic pattern, as "topic payload".
class Watcher {
public:
    Watcher(const std::string& url, const std::string& pattern)
        : link_(Settings(url, "watcher"), {}, Callbacks(), [](const std::string&) {}) {
        link_.Subscribe(pattern);
        std::string error;
        started_ = link_.Start(error) && WaitFor([this] { return link_.Connected(); }, 10s);
    }
    bool Started() const { return started_; }
    std::vector<std::string> Seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    bool WaitSeen(const std::string& message, std::chrono::milliseconds most = 10s) const {
        return WaitFor([&] { return Count(message) > 0; }, most);
    }
    std::size_t Count(const std::string& message) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count(seen_.begin(), seen_.end(), message));
    }

    static BrokerSettings Settings(const std::string& url, const std::string& id) {
        BrokerSettings settings;
        settings.url = url;
        settings.clientId = id + std::to_string(getpid());
        settings.keepalive = 5;
        return settings;
    }

private:
    BrokerLink::Callbacks Callbacks() {
        BrokerLink::Callbacks callbacks;
        callbacks.message = [this](const std::string& topic, const std::string& payload, bool) {
            std::lock_guard lock(mutex_);
            seen_.push_back(topic + " " + payload);
        };
        return callbacks;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> seen_;
    BrokerLink link_;
    bool started_ = false;
};

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
