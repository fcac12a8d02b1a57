// A real mosquitto on a free loopback port, a proxy to it that can cut the
// connection as a failing network does, and a watcher that records what the
// broker delivers: for the suites of the broker link and of the front-ends
// on it. Header only: those suites link host_broker themselves.
#pragma once

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

namespace testsupport {

inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds most) {
    const auto end = std::chrono::steady_clock::now() + most;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

inline int ConnectTo(int port) {
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
            std::chrono::seconds(10));
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
            // Taken in one step, so that a Cut() meanwhile is never lost.
            if (cut_.exchange(false) && client >= 0) {
                close(client);
                close(server);
                client = server = -1;
            }
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
        started_ = link_.Start(error) && WaitFor([this] { return link_.Connected(); }, std::chrono::seconds(10));
    }
    bool Started() const { return started_; }
    std::vector<std::string> Seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    bool WaitSeen(const std::string& message, std::chrono::milliseconds most = std::chrono::seconds(10)) const {
        return WaitFor([&] { return Count(message) > 0; }, most);
    }
    std::size_t Count(const std::string& message) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count(seen_.begin(), seen_.end(), message));
    }

    static qel::broker::BrokerSettings Settings(const std::string& url, const std::string& id) {
        qel::broker::BrokerSettings settings;
        settings.url = url;
        settings.clientId = id + std::to_string(getpid());
        settings.keepalive = 5;
        return settings;
    }

private:
    qel::broker::BrokerLink::Callbacks Callbacks() {
        qel::broker::BrokerLink::Callbacks callbacks;
        callbacks.message = [this](const std::string& topic, const std::string& payload, bool) {
            std::lock_guard lock(mutex_);
            seen_.push_back(topic + " " + payload);
        };
        return callbacks;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> seen_;
    qel::broker::BrokerLink link_;
    bool started_ = false;
};

}  // namespace testsupport
