// The connection to the broker through libmosquitto, on a network thread of
// ours: it connects, runs libmosquitto's loop, and after a failure or a lost
// connection tries again after 0.5 to 1.5 s (random, so that many gateways
// do not come back in step), each reason logged once. Its Presence: the Last
// Will (asked anew before every connection), a message on connecting and
// one on a clean stop; TLS and a user name when configured. Thread-safe:
// publish from any thread; the callbacks run on the network thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <mutex>
#include <thread>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "broker/broker_url.h"


struct mosquitto;
struct mosquitto_message;

namespace qel::broker {

using LogSink = std::function<void(const std::string&)>;

// How to reach the broker and who we are there.
struct BrokerSettings {
    std::string url;  // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
    std::string user;
    std::string password;
    std::string cafile;
    std::string cert;
    std::string key;
    std::string clientId;
    int keepalive = 30;
    // MQTT 5 with Retain As Published on the subscriptions, so that a
    // message published retained says so when it arrives live too (MQTT
    // 3.1.1 clears the flag on live delivery). A broker without MQTT 5 is
    // spoken to in 3.1.1, with a log line.
    bool retainAsPublished = false;
};

struct LinkMessage {
    std::string topic;
    std::string payload;
    int qos = 1;
    bool retain = false;
};

// What the broker says of us: the Last Will, asked before every connection
// (a Sparkplug node's NDEATH carries a new bdSeq each time); a message
// published first on every connection; one published on a clean stop.
struct Presence {
    std::function<LinkMessage()> will;
    std::optional<LinkMessage> hello;
    std::function<LinkMessage()> farewell;
};

class BrokerLink {
public:
    struct Callbacks {
        std::function<void()> connected;  // after (re)connecting, once "true" is on the online topic
        std::function<void()> disconnected;  // a connection lost or closed by Stop
        // retained: a message the broker kept, sent on subscribing.
        std::function<void(const std::string& topic, const std::string& payload, bool retained)> message;
        std::function<void(int mid)> published;  // the broker acknowledged the QoS 1 message `mid` (PUBACK)
    };

    BrokerLink(BrokerSettings settings, Presence presence, Callbacks callbacks, LogSink log);
    ~BrokerLink();
    BrokerLink(const BrokerLink&) = delete;
    BrokerLink& operator=(const BrokerLink&) = delete;

    // Sets up the client and starts its thread; a broker that is not there
    // yet is tried again and again. False only for settings it refuses.
    bool Start(std::string& error);
    // The farewell, a clean disconnect, the thread ended.
    void Stop();

    // Subscribed on every connection, before `connected` runs; call before Start.
    void Subscribe(std::string pattern) { subscriptions_.push_back(std::move(pattern)); }
    // False while the broker is away: nothing is queued for later, the
    // caller publishes the current state again on `connected`.
    bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain);
    // The same, with the message id that `published` reports when the
    // broker has it. A QoS 1 message handed over is kept by libmosquitto
    // across a reconnect and sent again until acknowledged.
    bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain, int& mid);
    // Now, besides the subscriptions above (not again after a reconnect);
    // false while the broker is away.
    bool SubscribeNow(const std::string& pattern);
    bool UnsubscribeNow(const std::string& pattern);
    bool Connected() const { return connected_.load(); }
    std::uint64_t Published() const { return published_.load(); }

private:
    void Run();
    // Waits up to `delay`; true when stopping.
    bool Pause(std::chrono::milliseconds delay);
    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnPublish(mosquitto*, void* self, int mid);
    void Failed(const std::string& reason);

    bool SetWill();
    int Subscribe(mosquitto* client, const std::string& pattern) const;

    BrokerSettings options_;
    BrokerAddress address_;
    Presence presence_;
    std::vector<std::string> subscriptions_;
    Callbacks callbacks_;
    LogSink log_;
    mosquitto* client_ = nullptr;
    std::atomic<bool> v5_{false};  // speaking MQTT 5 (retainAsPublished, until a broker refuses it)
    bool started_ = false;
    std::thread thread_;
    std::string lastFailure_;  // logged once until a connection succeeds, reminded of each minute
    std::chrono::steady_clock::time_point lastFailureLogged_{};
    unsigned failuresSince_ = 0;
    // Connections the broker closed right after they were made, one after
    // another: another client with our id takes the session each time. On
    // the network thread.
    std::chrono::steady_clock::time_point connectedAt_{};
    unsigned shortLived_ = 0;
    bool takeOverSaid_ = false;
    std::chrono::seconds takeOverPause_{0};
    bool acknowledged_ = false;  // the broker accepted the connection under way
    bool refused_ = false;       // the broker refused the connection under way (said by OnConnect)
    std::atomic<bool> stopRequested_{false};
    std::mutex stopMutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    int farewellMid_ = -1;               // the farewell's message id, once published
    bool farewellAcknowledged_ = false;  // the broker has it (under stopMutex_)
    std::deque<int> recentAcks_;         // the last messages acknowledged (under stopMutex_)
    std::atomic<bool> connected_{false};
    std::atomic<bool> everConnected_{false};
    std::atomic<std::uint64_t> published_{0};
};

}  // namespace qel::broker
