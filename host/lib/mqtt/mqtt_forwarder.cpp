#include "mqtt/mqtt_forwarder.h"

#include <algorithm>

#include "mqtt/mqtt_payload.h"

namespace qel::mqtt {

namespace {

using Clock = std::chrono::steady_clock;

// Messages handed to the link and not yet acknowledged, at most.
constexpr std::size_t kWindow = 200;
// Unacknowledged this long on a live connection: given up on and sent again
// from the store (libmosquitto keeps and resends them, so this is a guard).
constexpr auto kStall = std::chrono::seconds(30);

}  // namespace

MqttForwarder::MqttForwarder(store::MessageStore& store, double rate, session::FrontEndStats& stats, unsigned sent,
                             broker::LogSink log)
    : store_(store), rate_(rate), stats_(stats), sent_(sent), log_(std::move(log)) {}

MqttForwarder::~MqttForwarder() { Stop(); }

void MqttForwarder::Start(broker::BrokerLink& link) {
    link_ = &link;
    refilled_ = Clock::now();
    tokens_ = 1;
    thread_ = std::thread([this] { Run(); });
}

void MqttForwarder::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

void MqttForwarder::Submit(std::vector<store::StoredMessage>& messages) {
    if (messages.empty()) return;
    const std::int64_t now = UnixMillis(std::chrono::system_clock::now());
    std::uint64_t dropped = 0;
    std::string error;
    const std::string what = "the MQTT buffer";
    if (!store_.Append(messages, now, dropped, error)) {
        // The disk refuses (full, failing): straight to the broker while it
        // is connected, as without a buffer; what it cannot take is lost,
        // and counted as dropped. One line for the whole episode.
        std::uint64_t lost = 0;
        for (const store::StoredMessage& m : messages) {
            if (link_ && link_->Publish(m.topic, m.payload, m.qos, m.retain)) stats_.Request(sent_);
            else ++lost;
        }
        const std::string line = failures_.Failed(what, error, lost);
        if (!line.empty())
            log_(line + "; until it takes them again, values go straight to the broker while it is connected, "
                        "and are dropped (counted) while it is not");
        return;
    }
    const std::string back = failures_.Succeeded(what);
    if (!back.empty()) log_(back);
    if (dropped) {
        const Clock::time_point at = Clock::now();
        const store::StoreCounts counts = store_.Counts();
        if (droppedLogged_ == 0 || at - dropLog_ >= std::chrono::minutes(1)) {
            log_("the buffer is full: dropped the " + std::to_string(counts.dropped - droppedLogged_) +
                 " oldest messages" + (droppedLogged_ ? " in the last minute" : "") + " (" +
                 std::to_string(counts.dropped) + " since the start, " + std::to_string(counts.depth) + " kept)");
            droppedLogged_ = counts.dropped;
            dropLog_ = at;
        }
    }
    std::lock_guard lock(mutex_);
    wake_.notify_all();
}

bool MqttForwarder::Taking() const { return !failures_.Failing(); }

void MqttForwarder::Acknowledged(int mid) {
    std::lock_guard lock(mutex_);
    const auto found = inflight_.find(mid);
    if (found == inflight_.end()) return;
    acked_.push_back(found->second);
    inflight_.erase(found);
    progress_ = Clock::now();
    wake_.notify_all();
}

void MqttForwarder::Connected() {
    std::lock_guard lock(mutex_);
    connected_ = true;
    progress_ = Clock::now();
    wake_.notify_all();
}

session::BufferStats MqttForwarder::Counts() const {
    const store::StoreCounts counts = store_.Counts();
    session::BufferStats stats;
    stats.depth = counts.depth;
    stats.bytes = counts.bytes;
    stats.fileBytes = counts.fileBytes;
    stats.dropped = counts.dropped + failures_.LostTotal();
    stats.forwarded = counts.forwarded;
    if (failures_.Failing()) {
        stats.usable = false;
        stats.trouble = failures_.Error();
    }
    if (counts.oldestMillis)
        stats.oldestAge =
            std::max<double>(0, static_cast<double>(UnixMillis(std::chrono::system_clock::now()) - counts.oldestMillis) / 1000);
    return stats;
}

void MqttForwarder::Run() {
    for (;;) {
        std::vector<std::int64_t> acked;
        {
            std::unique_lock lock(mutex_);
            // Short naps while the budget refills; acks, appends and
            // connections wake it at once.
            wake_.wait_for(lock, std::chrono::milliseconds(tokens_ < 1 ? 10 : 200),
                           [this] { return stopping_ || !acked_.empty() || connected_; });
            if (stopping_) break;
            acked.swap(acked_);
            connected_ = false;
        }
        // Acknowledged messages the store could not let go of (a delete
        // needs room in its log too) are let go of later, not forgotten:
        // they are behind the cursor and would stay for good. Tried again
        // each second, not at every nap.
        unremoved_.insert(unremoved_.end(), acked.begin(), acked.end());
        const Clock::time_point now = Clock::now();
        if (!unremoved_.empty() && (!removeFailing_ || now >= removeRetry_)) {
            std::string error;
            if (store_.Remove(unremoved_, error)) {
                unremoved_.clear();
                if (removeFailing_) log_("the buffer " + store_.Path() + " lets acknowledged messages go again");
                removeFailing_ = false;
            } else {
                if (!removeFailing_) log_(error + "; acknowledged messages leave it once it can write again");
                removeFailing_ = true;
                removeRetry_ = now + std::chrono::seconds(1);
            }
        }
        Send(Clock::now());
    }
    // What was acknowledged on the way out leaves the store too.
    std::string error;
    std::lock_guard lock(mutex_);
    unremoved_.insert(unremoved_.end(), acked_.begin(), acked_.end());
    store_.Remove(unremoved_, error);
    unremoved_.clear();
}

void MqttForwarder::Send(Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - refilled_).count();
    refilled_ = now;
    const double burst = std::max(1.0, rate_ / 2);
    tokens_ = std::min(burst, tokens_ + seconds * rate_);
    if (!link_->Connected()) return;
    std::unique_lock lock(mutex_);
    if (!inflight_.empty() && now - progress_ > kStall) {
        log_("the broker acknowledged none of " + std::to_string(inflight_.size()) +
             " messages in 30 s: sending the buffer again from its oldest");
        inflight_.clear();
        cursor_ = 0;
        progress_ = now;
    }
    const std::size_t room = kWindow - std::min(kWindow, inflight_.size());
    const auto most = static_cast<std::size_t>(std::min<double>(static_cast<double>(room), tokens_));
    if (most == 0) return;
    const std::int64_t after = cursor_;
    lock.unlock();
    const std::vector<store::StoredMessage> batch = store_.Next(after, most);
    lock.lock();
    if (cursor_ != after) return;  // sent again from the start meanwhile
    if (inflight_.empty() && !batch.empty()) progress_ = now;
    for (const store::StoredMessage& m : batch) {
        int mid = 0;
        // Retained only as its topic's newest: a backlog never leaves an old value retained.
        const bool retain = m.retain && store_.IsNewest(m.topic, m.id);
        // Under the lock: the acknowledgement may come before the id is noted.
        if (!link_->Publish(m.topic, m.payload, m.qos, retain, mid)) break;
        inflight_[mid] = m.id;
        cursor_ = m.id;
        tokens_ -= 1;
        stats_.Request(sent_);
    }
}

}  // namespace qel::mqtt
