// Store and forward: value messages go into the on-disk store first, and a
// thread of their own sends them from there in order, at most `rate` a
// second, while the broker is connected; a message leaves the store only
// when the broker has acknowledged it (QoS 1 PUBACK). So a broker away, a
// lost connection or a killed gateway loses nothing the store took: on
// reconnect (or restart) the backlog goes out oldest first, each message
// with the time it was made in its payload. A message goes out retained
// only when it is its topic's newest in the store, so a backlog never
// leaves an old value retained.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "broker/broker_link.h"
#include "session/line/line_stats.h"
#include "store/message_store.h"
#include "store/write_failures.h"

namespace qel::mqtt {

class MqttForwarder {
public:
    // `sent` is counted (as the request code) for every message handed to the broker.
    MqttForwarder(store::MessageStore& store, double rate, session::FrontEndStats& stats, unsigned sent, broker::LogSink log);
    ~MqttForwarder();
    MqttForwarder(const MqttForwarder&) = delete;
    MqttForwarder& operator=(const MqttForwarder&) = delete;

    void Start(broker::BrokerLink& link);
    void Stop();

    // Into the store, in one transaction; the bound's drops are logged.
    // When the store refuses them (a full disk), straight to the broker, or
    // dropped and counted when it is away.
    void Submit(std::vector<store::StoredMessage>& messages);
    // Whether the store takes messages now.
    bool Taking() const;
    // From the link's callbacks.
    void Acknowledged(int mid);
    void Connected();
    session::BufferStats Counts() const;

private:
    void Run();
    void Send(std::chrono::steady_clock::time_point now);

    store::MessageStore& store_;
    double rate_;
    session::FrontEndStats& stats_;
    unsigned sent_;
    broker::LogSink log_;
    broker::BrokerLink* link_ = nullptr;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool connected_ = false;  // a connection came since the thread last looked
    std::map<int, std::int64_t> inflight_;  // message id at the link -> the store's id
    std::vector<std::int64_t> acked_;       // to remove from the store
    std::int64_t cursor_ = 0;               // the last store id handed to the link
    std::chrono::steady_clock::time_point progress_{};  // the last acknowledgement, or when waiting began

    double tokens_ = 0;  // the rate's budget
    std::chrono::steady_clock::time_point refilled_{};
    std::uint64_t droppedLogged_ = 0;
    std::chrono::steady_clock::time_point dropLog_{};
    store::WriteFailures failures_;
    // The forwarder's thread's own: acknowledged, not yet removed.
    std::vector<std::int64_t> unremoved_;
    bool removeFailing_ = false;
    std::chrono::steady_clock::time_point removeRetry_{};
    std::thread thread_;
};

}  // namespace qel::mqtt
