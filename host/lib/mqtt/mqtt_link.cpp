#include "mqtt/mqtt_link.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>

namespace qel::mqtt {

namespace {

// Milliseconds between two tries: at random in between, so that the first
// message goes out at most about 1.5 s after the broker is there again.
constexpr int kRetryLeast = 500;
constexpr int kRetryMost = 1500;

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string Text(int rc) { return mosquitto_strerror(rc); }

}  // namespace

MqttLink::MqttLink(const MqttOptions& options, std::string onlineTopic, Callbacks callbacks, LogSink log)
    : options_(options), onlineTopic_(std::move(onlineTopic)), callbacks_(std::move(callbacks)), log_(std::move(log)) {}

MqttLink::~MqttLink() {
    Stop();
    if (client_) mosquitto_destroy(client_);
}

bool MqttLink::Start(std::string& error) {
    if (!ParseBrokerUrl(options_.url, address_, error)) return false;
    InitLibrary();
    client_ = mosquitto_new(options_.clientId.c_str(), true, this);
    if (!client_) {
        error = "cannot make an MQTT client";
        return false;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client_, OnConnect);
    mosquitto_disconnect_callback_set(client_, OnDisconnect);
    mosquitto_message_callback_set(client_, OnMessage);
    mosquitto_publish_callback_set(client_, OnPublish);
    mosquitto_threaded_set(client_, true);  // publishes from other threads wake our loop
    static const char offline[] = "false";
    int rc = mosquitto_will_set(client_, onlineTopic_.c_str(), sizeof offline - 1, offline, 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !options_.user.empty())
        rc = mosquitto_username_pw_set(client_, options_.user.c_str(),
                                       options_.password.empty() ? nullptr : options_.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && (address_.tls || !options_.cafile.empty() || !options_.cert.empty())) {
        rc = mosquitto_tls_set(client_, options_.cafile.empty() ? nullptr : options_.cafile.c_str(),
                               options_.cafile.empty() ? "/etc/ssl/certs" : nullptr,
                               options_.cert.empty() ? nullptr : options_.cert.c_str(),
                               options_.key.empty() ? nullptr : options_.key.c_str(), nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = "MQTT settings: " + Text(rc);
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    started_ = true;
    return true;
}

bool MqttLink::Pause(std::chrono::milliseconds delay) {
    std::unique_lock lock(stopMutex_);
    return stopped_.wait_for(lock, delay, [this] { return stopping_; });
}

void MqttLink::Failed(const std::string& reason) {
    if (reason == lastFailure_) return;
    lastFailure_ = reason;
    log_("MQTT broker " + options_.url + ": " + reason + "; trying again every 0.5 to 1.5 s");
}

void MqttLink::Run() {
    std::minstd_rand random(std::random_device{}());
    std::uniform_int_distribution<int> jitter(kRetryLeast, kRetryMost);
    bool first = true;
    for (;;) {
        {
            std::lock_guard lock(stopMutex_);
            if (stopping_) return;
        }
        int rc = first ? mosquitto_connect(client_, address_.host.c_str(), address_.port, options_.keepalive)
                       : mosquitto_reconnect(client_);
        if (rc == MOSQ_ERR_SUCCESS) {
            first = false;
            acknowledged_ = false;
            // Until the connection is lost or closed: by Stop too, once the
            // last "false" and the DISCONNECT are out (2 s at most).
            int afterStop = 0;
            while ((rc = mosquitto_loop(client_, 100, 1)) == MOSQ_ERR_SUCCESS) {
                if (acknowledged_ && !connected_.load() && !stopRequested_.load()) {
                    connected_ = true;
                    if (callbacks_.connected) callbacks_.connected();
                }
                if (stopRequested_.load() && ++afterStop > 20) return;
            }
            if (stopRequested_.load()) return;
            // A lost connection was logged by OnDisconnect; one that never
            // got the broker's answer is a failure to connect.
            if (!acknowledged_) Failed(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : Text(rc));
        } else {
            Failed(std::string("not reachable (") + (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : Text(rc)) + ")");
        }
        if (Pause(std::chrono::milliseconds(jitter(random)))) return;
    }
}

void MqttLink::Stop() {
    if (!started_) return;
    started_ = false;
    const bool wasConnected = connected_.load();
    if (wasConnected) {
        static const char offline[] = "false";
        mosquitto_publish(client_, nullptr, onlineTopic_.c_str(), sizeof offline - 1, offline, 1, true);
    }
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = true;
        stopRequested_ = true;
        stopped_.notify_all();
    }
    mosquitto_disconnect(client_);
    thread_.join();
    if (connected_.exchange(false) && callbacks_.disconnected) callbacks_.disconnected();
}

bool MqttLink::Publish(const std::string& topic, const std::string& payload, int qos, bool retain) {
    int mid = 0;
    return Publish(topic, payload, qos, retain, mid);
}

bool MqttLink::Publish(const std::string& topic, const std::string& payload, int qos, bool retain, int& mid) {
    if (!connected_.load()) return false;
    const int rc = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), qos, retain);
    if (rc == MOSQ_ERR_SUCCESS) ++published_;
    return rc == MOSQ_ERR_SUCCESS;
}

void MqttLink::OnConnect(mosquitto* client, void* self, int rc) {
    auto& link = *static_cast<MqttLink*>(self);
    if (rc != 0) {
        link.Failed(std::string("refused the connection: ") + mosquitto_connack_string(rc));
        return;
    }
    link.lastFailure_.clear();
    link.acknowledged_ = true;
    static const char online[] = "true";
    mosquitto_publish(client, nullptr, link.onlineTopic_.c_str(), sizeof online - 1, online, 1, true);
    if (!link.subscription_.empty()) mosquitto_subscribe(client, nullptr, link.subscription_.c_str(), 1);
    link.log_(std::string(link.everConnected_.exchange(true) ? "reconnected" : "connected") + " to the MQTT broker " +
              link.options_.url + " as " + link.options_.clientId);
    // Connected() turns true in Run, after this turn of the loop: by then
    // libmosquitto has sent again what the lost connection left
    // unacknowledged, so nothing published now can overtake it.
}

void MqttLink::OnDisconnect(mosquitto*, void* self, int rc) {
    auto& link = *static_cast<MqttLink*>(self);
    const bool was = link.connected_.exchange(false);
    if (rc != 0 && was)
        link.log_("lost the MQTT broker " + link.options_.url + " (" + Text(rc) + "); reconnecting");
    if (was && link.callbacks_.disconnected) link.callbacks_.disconnected();
}

void MqttLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto& link = *static_cast<MqttLink*>(self);
    if (!link.callbacks_.message || !message->topic) return;
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(std::max(0, message->payloadlen)));
    link.callbacks_.message(message->topic, payload);
}

}  // namespace qel::mqtt

namespace qel::mqtt {

void MqttLink::OnPublish(mosquitto*, void* self, int mid) {
    auto& link = *static_cast<MqttLink*>(self);
    if (link.callbacks_.published) link.callbacks_.published(mid);
}

}  // namespace qel::mqtt
