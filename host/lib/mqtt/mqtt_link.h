// The connection to the broker through libmosquitto: its own network thread
// (mosquitto_loop_start), which reconnects with back-off, and before the
// first connection a thread of ours that tries with the same back-off; the
// Last Will on the online topic; TLS and a user name when configured.
// Thread-safe: publish from any thread; the callbacks run on the network
// thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <functional>
#include <string>

#include "mqtt/mqtt_options.h"

struct mosquitto;
struct mosquitto_message;

namespace qel::mqtt {

using LogSink = std::function<void(const std::string&)>;

class MqttLink {
public:
    struct Callbacks {
        std::function<void()> connected;  // after (re)connecting, once "true" is on the online topic
        std::function<void()> disconnected;  // a connection lost or closed by Stop
        // retained: a message the broker kept, sent on subscribing.
        std::function<void(const std::string& topic, const std::string& payload, bool retained)> message;
    };

    // onlineTopic: retained "true" on connect, "false" as the Last Will and on Stop.
    MqttLink(const MqttOptions& options, std::string onlineTopic, Callbacks callbacks, LogSink log);
    ~MqttLink();
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    // Sets up the client and starts its thread; a broker that is not there
    // yet is tried again and again. False only for settings it refuses.
    bool Start(std::string& error);
    // "false" on the online topic, a clean disconnect, the thread ended.
    void Stop();

    // Subscribed now and after every reconnect.
    void Subscribe(std::string pattern) { subscription_ = std::move(pattern); }
    // False while the broker is away: nothing is queued for later, the
    // caller publishes the current state again on `connected`.
    bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain);
    // Now, besides the subscription above (not again after a reconnect);
    // false while the broker is away.
    bool SubscribeNow(const std::string& pattern);
    bool UnsubscribeNow(const std::string& pattern);
    bool Connected() const { return connected_.load(); }
    std::uint64_t Published() const { return published_.load(); }

private:
    void FirstConnect();
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

    MqttOptions options_;
    BrokerAddress address_;
    std::string onlineTopic_;
    std::string subscription_;
    Callbacks callbacks_;
    LogSink log_;
    mosquitto* client_ = nullptr;
    bool started_ = false;
    std::thread starter_;
    std::mutex stopMutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    bool looping_ = false;
    std::atomic<bool> connected_{false};
    std::atomic<bool> everConnected_{false};
    std::atomic<std::uint64_t> published_{0};

    // On the network thread. A refusal is logged once per reason, then
    // reminded of once a minute with the count meanwhile.
    std::string refusedReason_;
    std::chrono::steady_clock::time_point refusedLogged_{};
    unsigned refusedSince_ = 0;
    // Connections the broker closed right after they were made, one after
    // another: another client with our id takes the session each time.
    std::chrono::steady_clock::time_point connectedAt_{};
    unsigned shortLived_ = 0;
    bool takeOverSaid_ = false;
};

}  // namespace qel::mqtt
