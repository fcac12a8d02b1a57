#include "broker/broker_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>

namespace qel::broker {

namespace {

// Milliseconds between two tries: at random in between, so that the first
// message goes out at most about 1.5 s after the broker is there again.
constexpr int kRetryLeast = 500;
constexpr int kRetryMost = 1500;
// A connection the broker closes within kShortLived of its making, for the
// kTakeOvers-th time in a row, is taken over by a client with the same id:
// said once, and reconnected after kTakeOverFirst, doubling up to
// kTakeOverMost, until a connection lasts.
constexpr auto kShortLived = std::chrono::seconds(5);
constexpr unsigned kTakeOvers = 3;
constexpr auto kTakeOverFirst = std::chrono::seconds(30);
constexpr auto kTakeOverMost = std::chrono::seconds(120);
// The same failure is logged again after a minute, with the count meanwhile.
constexpr auto kFailureReminder = std::chrono::seconds(60);
// The longest a clean stop waits for the broker to acknowledge its farewell.
constexpr auto kFarewellWait = std::chrono::seconds(2);

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string Text(int rc) { return mosquitto_strerror(rc); }

}  // namespace

BrokerLink::BrokerLink(BrokerSettings settings, Presence presence, Callbacks callbacks, LogSink log)
    : options_(std::move(settings)), presence_(std::move(presence)), callbacks_(std::move(callbacks)),
      log_(std::move(log)) {}

bool BrokerLink::SetWill() {
    if (!presence_.will) return true;
    const LinkMessage will = presence_.will();
    return mosquitto_will_set(client_, will.topic.c_str(), static_cast<int>(will.payload.size()), will.payload.data(),
                              will.qos, will.retain) == MOSQ_ERR_SUCCESS;
}

BrokerLink::~BrokerLink() {
    Stop();
    if (client_) mosquitto_destroy(client_);
}

bool BrokerLink::Start(std::string& error) {
    if (!ParseBrokerUrl(options_.url, address_, error)) return false;
    InitLibrary();
    client_ = mosquitto_new(options_.clientId.c_str(), true, this);
    if (!client_) {
        error = "cannot make an MQTT client";
        return false;
    }
    v5_ = options_.retainAsPublished;
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, v5_ ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client_, OnConnect);
    mosquitto_disconnect_callback_set(client_, OnDisconnect);
    mosquitto_message_callback_set(client_, OnMessage);
    mosquitto_publish_callback_set(client_, OnPublish);
    mosquitto_threaded_set(client_, true);  // publishes from other threads wake our loop
    int rc = SetWill() ? MOSQ_ERR_SUCCESS : MOSQ_ERR_INVAL;
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

bool BrokerLink::Pause(std::chrono::milliseconds delay) {
    std::unique_lock lock(stopMutex_);
    return stopped_.wait_for(lock, delay, [this] { return stopping_; });
}

void BrokerLink::Failed(const std::string& reason) {
    const auto now = std::chrono::steady_clock::now();
    if (reason == lastFailure_) {
        ++failuresSince_;
        if (now - lastFailureLogged_ < kFailureReminder) return;
        log_("MQTT broker " + options_.url + ": still " + reason + " (" + std::to_string(failuresSince_) +
             " tries since the last line)");
    } else {
        log_("MQTT broker " + options_.url + ": " + reason +
             "; trying again every 0.5 to 1.5 s, logged again each minute while it lasts");
    }
    lastFailure_ = reason;
    lastFailureLogged_ = now;
    failuresSince_ = 0;
}

int BrokerLink::Subscribe(mosquitto* client, const std::string& pattern) const {
    if (v5_.load())
        return mosquitto_subscribe_v5(client, nullptr, pattern.c_str(), 1, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
    return mosquitto_subscribe(client, nullptr, pattern.c_str(), 1);
}

bool BrokerLink::SubscribeNow(const std::string& pattern) {
    return connected_.load() && mosquitto_subscribe(client_, nullptr, pattern.c_str(), 1) == MOSQ_ERR_SUCCESS;
}

bool BrokerLink::UnsubscribeNow(const std::string& pattern) {
    return connected_.load() && mosquitto_unsubscribe(client_, nullptr, pattern.c_str()) == MOSQ_ERR_SUCCESS;
}

void BrokerLink::Run() {
    std::minstd_rand random(std::random_device{}());
    std::uniform_int_distribution<int> jitter(kRetryLeast, kRetryMost);
    bool first = true;
    for (;;) {
        {
            std::lock_guard lock(stopMutex_);
            if (stopping_) return;
        }
        if (!first) SetWill();  // a new Will for the new connection
        int rc = first ? mosquitto_connect(client_, address_.host.c_str(), address_.port, options_.keepalive)
                       : mosquitto_reconnect(client_);
        if (rc == MOSQ_ERR_SUCCESS) {
            first = false;
            acknowledged_ = false;
            refused_ = false;
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
            if (!acknowledged_ && !refused_) Failed(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : Text(rc));
        } else {
            Failed(std::string("not reachable (") + (rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : Text(rc)) + ")");
        }
        // A session taken over waits longer before it takes it back.
        const std::chrono::milliseconds pause =
            takeOverPause_.count() > 0 ? std::chrono::milliseconds(takeOverPause_) : std::chrono::milliseconds(jitter(random));
        if (Pause(pause)) return;
    }
}

void BrokerLink::Stop() {
    if (!started_) return;
    started_ = false;
    const bool wasConnected = connected_.load();
    if (wasConnected && presence_.farewell) {
        const LinkMessage farewell = presence_.farewell();
        int mid = 0;
        const int rc = mosquitto_publish(client_, &mid, farewell.topic.c_str(),
                                         static_cast<int>(farewell.payload.size()), farewell.payload.data(),
                                         farewell.qos, farewell.retain);
        std::unique_lock lock(stopMutex_);
        // Disconnecting while the broker's acknowledgements are still unread
        // closes the socket with a reset, which can lose the farewell and the
        // DISCONNECT on the broker's side: it then publishes the Will of a
        // clean stop. So wait for the farewell's acknowledgement (the ones
        // before it come first), a moment at most.
        if (rc == MOSQ_ERR_SUCCESS && farewell.qos > 0) {
            farewellMid_ = mid;
            // Its acknowledgement may have come already.
            farewellAcknowledged_ = std::find(recentAcks_.begin(), recentAcks_.end(), mid) != recentAcks_.end();
            stopped_.wait_for(lock, kFarewellWait, [this] { return farewellAcknowledged_; });
        }
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

bool BrokerLink::Publish(const std::string& topic, const std::string& payload, int qos, bool retain) {
    int mid = 0;
    return Publish(topic, payload, qos, retain, mid);
}

bool BrokerLink::Publish(const std::string& topic, const std::string& payload, int qos, bool retain, int& mid) {
    if (!connected_.load()) return false;
    const int rc = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), qos, retain);
    if (rc == MOSQ_ERR_SUCCESS) ++published_;
    return rc == MOSQ_ERR_SUCCESS;
}

void BrokerLink::OnConnect(mosquitto* client, void* self, int rc) {
    auto& link = *static_cast<BrokerLink*>(self);
    // A broker without MQTT 5: 3.1.1 from the next try on.
    if (link.v5_.load() && (rc == 1 || rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION)) {
        link.v5_ = false;
        mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        link.refused_ = true;
        link.log_("the MQTT broker " + link.options_.url +
                  " does not speak MQTT 5: connecting with 3.1.1, where a retained message published while "
                  "connected arrives as a live one");
        return;
    }
    if (rc != 0) {
        link.refused_ = true;
        link.Failed(std::string("refused the connection: ") + mosquitto_connack_string(rc));
        return;
    }
    link.lastFailure_.clear();
    link.failuresSince_ = 0;
    link.acknowledged_ = true;
    link.connectedAt_ = std::chrono::steady_clock::now();
    if (const auto& hello = link.presence_.hello)
        mosquitto_publish(client, nullptr, hello->topic.c_str(), static_cast<int>(hello->payload.size()),
                          hello->payload.data(), hello->qos, hello->retain);
    for (const std::string& pattern : link.subscriptions_) link.Subscribe(client, pattern);
    // While the session is taken over each reconnect is not news.
    const bool again = link.everConnected_.exchange(true);
    if (link.shortLived_ < kTakeOvers)
        link.log_(std::string(again ? "reconnected" : "connected") + " to the MQTT broker " + link.options_.url +
                  " as " + link.options_.clientId);
    // Connected() turns true in Run, after this turn of the loop: by then
    // libmosquitto has sent again what the lost connection left
    // unacknowledged, so nothing published now can overtake it.
}

void BrokerLink::OnDisconnect(mosquitto*, void* self, int rc) {
    auto& link = *static_cast<BrokerLink*>(self);
    const bool was = link.connected_.exchange(false);
    // The broker closing a connection moments after it was made, again and
    // again, is a session taken over by a client with the same id: said
    // once, with a longer pause before each reconnect until one lasts.
    const bool shortLived = rc != 0 && link.acknowledged_ &&
                            std::chrono::steady_clock::now() - link.connectedAt_ < kShortLived;
    if (!shortLived && link.shortLived_ >= kTakeOvers) {
        link.log_("the MQTT connection as " + link.options_.clientId + " lasts again; reconnecting as usual");
        link.takeOverSaid_ = false;
        link.takeOverPause_ = std::chrono::seconds(0);
    }
    link.shortLived_ = shortLived ? link.shortLived_ + 1 : 0;
    if (link.shortLived_ >= kTakeOvers) {
        link.takeOverPause_ = link.takeOverPause_.count() == 0 ? kTakeOverFirst
                                                              : std::min(kTakeOverMost, link.takeOverPause_ * 2);
        if (!link.takeOverSaid_)
            link.log_("the MQTT broker " + link.options_.url + " closed the connection " + std::to_string(kTakeOvers) +
                      " times in a row right after it was made: another client is likely connected with the same "
                      "client id " + link.options_.clientId + " and takes the session over; waiting " +
                      std::to_string(kTakeOverFirst.count()) + " s and more before each reconnect (give each "
                      "gateway its own --mqtt-client-id)");
        link.takeOverSaid_ = true;
        if (was && link.callbacks_.disconnected) link.callbacks_.disconnected();
        return;
    }
    if (rc != 0 && was)
        link.log_("lost the MQTT broker " + link.options_.url + " (" + Text(rc) + "); reconnecting");
    if (was && link.callbacks_.disconnected) link.callbacks_.disconnected();
}

void BrokerLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto& link = *static_cast<BrokerLink*>(self);
    if (!link.callbacks_.message || !message->topic) return;
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(std::max(0, message->payloadlen)));
    link.callbacks_.message(message->topic, payload, message->retain);
}

}  // namespace qel::broker

namespace qel::broker {

void BrokerLink::OnPublish(mosquitto*, void* self, int mid) {
    auto& link = *static_cast<BrokerLink*>(self);
    {
        std::lock_guard lock(link.stopMutex_);
        link.recentAcks_.push_back(mid);
        if (link.recentAcks_.size() > 16) link.recentAcks_.pop_front();
        if (mid == link.farewellMid_) {
            link.farewellAcknowledged_ = true;
            link.stopped_.notify_all();
        }
    }
    if (link.callbacks_.published) link.callbacks_.published(mid);
}

}  // namespace qel::broker
