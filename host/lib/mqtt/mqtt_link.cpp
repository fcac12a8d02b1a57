#include "mqtt/mqtt_link.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace qel::mqtt {

namespace {

constexpr int kReconnectFirst = 1;  // seconds; doubled up to kReconnectMost
constexpr int kReconnectMost = 30;
// A connection the broker closes within kShortLived of its making, for the
// kTakeOvers-th time in a row, is taken over by a client with the same id:
// said once, and reconnected after kTakeOverFirst .. kTakeOverMost seconds
// until a connection lasts.
constexpr auto kShortLived = std::chrono::seconds(5);
constexpr unsigned kTakeOvers = 3;
constexpr int kTakeOverFirst = 30;
constexpr int kTakeOverMost = 120;
// A refusal of the same reason is logged again after a minute.
constexpr auto kRefusedReminder = std::chrono::seconds(60);

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
    mosquitto_reconnect_delay_set(client_, kReconnectFirst, kReconnectMost, true);
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
    // libmosquitto's thread reconnects a connection it had; the first one is
    // tried here, in the background, with the same back-off, until the
    // broker is there.
    starter_ = std::thread([this] { FirstConnect(); });
    started_ = true;
    return true;
}

void MqttLink::FirstConnect() {
    int delay = kReconnectFirst;
    std::string lastError;
    for (;;) {
        const int rc = mosquitto_connect(client_, address_.host.c_str(), address_.port, options_.keepalive);
        if (rc == MOSQ_ERR_SUCCESS) break;
        const std::string reason = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : Text(rc);
        if (reason != lastError)
            log_("MQTT broker " + options_.url + " not reachable (" + reason + "); trying again in the background");
        lastError = reason;
        std::unique_lock lock(stopMutex_);
        if (stopped_.wait_for(lock, std::chrono::seconds(delay), [this] { return stopping_; })) return;
        delay = std::min(delay * 2, kReconnectMost);
    }
    std::lock_guard lock(stopMutex_);
    if (stopping_) return;
    const int rc = mosquitto_loop_start(client_);
    if (rc != MOSQ_ERR_SUCCESS) log_("cannot start the MQTT thread: " + Text(rc));
    else looping_ = true;
}

void MqttLink::Stop() {
    if (!started_) return;
    started_ = false;
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = true;
        stopped_.notify_all();
    }
    starter_.join();
    if (!looping_) return;
    if (connected_.load()) {
        static const char offline[] = "false";
        mosquitto_publish(client_, nullptr, onlineTopic_.c_str(), sizeof offline - 1, offline, 1, true);
    }
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    if (connected_.exchange(false) && callbacks_.disconnected) callbacks_.disconnected();
}

bool MqttLink::Publish(const std::string& topic, const std::string& payload, int qos, bool retain) {
    if (!connected_.load()) return false;
    const int rc = mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), qos, retain);
    if (rc == MOSQ_ERR_SUCCESS) ++published_;
    return rc == MOSQ_ERR_SUCCESS;
}

bool MqttLink::SubscribeNow(const std::string& pattern) {
    return connected_.load() && mosquitto_subscribe(client_, nullptr, pattern.c_str(), 1) == MOSQ_ERR_SUCCESS;
}

bool MqttLink::UnsubscribeNow(const std::string& pattern) {
    return connected_.load() && mosquitto_unsubscribe(client_, nullptr, pattern.c_str()) == MOSQ_ERR_SUCCESS;
}

void MqttLink::OnConnect(mosquitto* client, void* self, int rc) {
    auto& link = *static_cast<MqttLink*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (rc != 0) {
        // Once per reason, and a reminder each minute while it lasts.
        const std::string reason = mosquitto_connack_string(rc);
        ++link.refusedSince_;
        if (reason != link.refusedReason_) {
            link.log_("MQTT broker " + link.options_.url + " refused the connection: " + reason +
                      "; trying again with back-off, logged again each minute while it refuses");
        } else if (now - link.refusedLogged_ >= kRefusedReminder) {
            link.log_("MQTT broker " + link.options_.url + " still refuses the connection: " + reason + " (" +
                      std::to_string(link.refusedSince_) + " refusals since the last line)");
        } else {
            return;
        }
        link.refusedReason_ = reason;
        link.refusedLogged_ = now;
        link.refusedSince_ = 0;
        return;
    }
    link.refusedReason_.clear();
    link.refusedSince_ = 0;
    link.connectedAt_ = now;
    static const char online[] = "true";
    mosquitto_publish(client, nullptr, link.onlineTopic_.c_str(), sizeof online - 1, online, 1, true);
    if (!link.subscription_.empty()) mosquitto_subscribe(client, nullptr, link.subscription_.c_str(), 1);
    // While the session is taken over each reconnect is not news.
    const bool again = link.everConnected_.exchange(true);
    if (link.shortLived_ < kTakeOvers)
        link.log_(std::string(again ? "reconnected" : "connected") + " to the MQTT broker " + link.options_.url +
                  " as " + link.options_.clientId);
    link.connected_ = true;
    if (link.callbacks_.connected) link.callbacks_.connected();
}

void MqttLink::OnDisconnect(mosquitto*, void* self, int rc) {
    auto& link = *static_cast<MqttLink*>(self);
    const bool was = link.connected_.exchange(false);
    // The broker closing a connection moments after it was made, again and
    // again, is a session taken over by a client with the same id: said
    // once, with a longer pause before each reconnect until one lasts.
    const bool shortLived = rc != 0 && was && std::chrono::steady_clock::now() - link.connectedAt_ < kShortLived;
    if (was && !shortLived && link.shortLived_ >= kTakeOvers) {
        mosquitto_reconnect_delay_set(link.client_, kReconnectFirst, kReconnectMost, true);
        link.log_("the MQTT connection as " + link.options_.clientId + " lasts again; reconnecting as usual");
        link.takeOverSaid_ = false;
    }
    if (was) link.shortLived_ = shortLived ? link.shortLived_ + 1 : 0;
    if (shortLived && link.shortLived_ == kTakeOvers) {
        mosquitto_reconnect_delay_set(link.client_, kTakeOverFirst, kTakeOverMost, true);
        if (!link.takeOverSaid_)
            link.log_("the MQTT broker " + link.options_.url + " closed the connection " + std::to_string(kTakeOvers) +
                      " times in a row right after it was made: another client is likely connected with the same "
                      "client id " + link.options_.clientId + " and takes the session over; waiting " +
                      std::to_string(kTakeOverFirst) + " s and more before each reconnect (give each gateway its "
                      "own --mqtt-client-id)");
        link.takeOverSaid_ = true;
        return;
    }
    if (shortLived && link.shortLived_ > kTakeOvers) return;  // said already
    if (rc != 0 && was)
        link.log_("lost the MQTT broker " + link.options_.url + " (" + Text(rc) + "); reconnecting with back-off");
    if (was && link.callbacks_.disconnected) link.callbacks_.disconnected();
}

void MqttLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto& link = *static_cast<MqttLink*>(self);
    if (!link.callbacks_.message || !message->topic) return;
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(std::max(0, message->payloadlen)));
    link.callbacks_.message(message->topic, payload, message->retain);
}

}  // namespace qel::mqtt
