#include "mqtt/mqtt_publisher.h"
#include "session/gates/tag_convert.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "store/store_opening.h"

namespace qel::mqtt {

namespace {

using Clock = std::chrono::steady_clock;

// The reads' client of the scheduler (mqtt_publisher.h says why its own).
constexpr std::uint64_t kClient = kPublisherClient;
// Sets written in one round at most; the rest wait for the next (each gate's
// newest only).
constexpr std::size_t kSetsPerRound = 8;
// Retained messages under the prefix are looked at for this long after the
// first connection.
constexpr auto kSweep = std::chrono::seconds(3);
// Lines about refused sets: a burst per topic in a minute, then a count.
constexpr int kRefusalBurst = 5;
constexpr auto kRefusalWindow = std::chrono::seconds(60);

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

}  // namespace

MqttPublisher::MqttPublisher(session::LineScheduler& line, const MqttOptions& options, broker::LogSink log)
    : line_(line), options_(options), log_(std::move(log)), rounds_(line, kClient),
      refusals_(log_, kRefusalBurst, kRefusalWindow, 256) {}

MqttPublisher::~MqttPublisher() { Stop(); }

bool MqttPublisher::Prepare(const session::GateCheck& check, const plan::Driver& planDriver,
                            const plan::PlanOptions& planOptions, const session::WriteAllowList* allow,
                            std::string& error) {
    allow_ = allow;
    portTopic_ = options_.prefix + "/$port";
    const session::GateListSource source{options_.publishFile, options_.publishLines, options_.publishOrigin,
                                         options_.publishPeriod};
    const auto accept = [this](std::size_t index, const session::ListedGate& entry, std::string& why) {
        const std::string& origin = rounds_.Origin();
        const std::string part = GateTopicPart(entry.gate.gas);
        if (part.empty()) {
            // The driver took it, but its topic needs the station as three digits.
            why = session::ListedAt(origin, entry) + entry.gate.gas +
                  " names no MQTT topic: a gate's topic starts with its station in three digits (001DR0010 is "
                  "prefix/001/DR0010)";
            return false;
        }
        // A tag names the gate in place of its address: prefix/002/tank_level.
        const unsigned station = entry.gate.definition.station;
        Item item;
        item.topic = options_.prefix + "/" + (entry.tag.empty() ? part : StationTopicPart(station) + "/" + entry.tag);
        if (!byTopic_.emplace(item.topic, index).second) {
            why = session::ListedAt(origin, entry) + entry.gate.gas +
                  (entry.tag.empty() ? " is listed twice" : " has a tag that is taken");
            return false;
        }
        stations_[station].topic = options_.prefix + "/" + StationTopicPart(station) + "/$state";
        stations_[station].reasonTopic = options_.prefix + "/" + StationTopicPart(station) + "/$reason";
        items_.push_back(std::move(item));
        return true;
    };
    return rounds_.Prepare(source, check, accept, planDriver, planOptions, error);
}

std::string MqttPublisher::Describe() const {
    const std::size_t exchanges = rounds_.Exchanges();
    std::string periods;
    for (const double period : rounds_.Periods()) periods += (periods.empty() ? "" : ", ") + Seconds(period);
    return "publishing " + std::to_string(items_.size()) + " gates of " + std::to_string(stations_.size()) +
           " stations (" + std::to_string(exchanges) + " exchanges, every " + periods + ") to " + options_.url +
           " under " + options_.prefix + "/, " + (options_.writes ? "writes on .../set" : "no writes");
}

session::FrontEndStats::Snapshot MqttPublisher::TakeStats() const {
    session::FrontEndStats::Snapshot snapshot = stats_.Take();
    std::lock_guard lock(bufferMutex_);
    if (forwarder_) snapshot.buffer = forwarder_->Counts();
    else if (!bufferTrouble_.empty()) {
        // Asked for and unusable: running without it, which the page and /metrics say.
        session::BufferStats off;
        off.usable = false;
        off.trouble = bufferTrouble_;
        snapshot.buffer = off;
    }
    return snapshot;
}

bool MqttPublisher::OpenBuffer() {
    auto store = std::make_unique<store::MessageStore>();
    const store::StoreOpening opening =
        store::OpenStore(*store, options_.bufferFile, options_.bufferLimits, std::time(nullptr));
    switch (opening.outcome) {
    case store::StoreOpening::Outcome::Unusable: {
        std::lock_guard lock(bufferMutex_);
        bufferTrouble_ = opening.error + "; running without the buffer";
        log_("MQTT buffer unusable: " + bufferTrouble_ +
             ": values read while the broker is away are not kept (the line is served as ever)");
        return false;
    }
    case store::StoreOpening::Outcome::Renewed:
        log_("MQTT buffer damaged (" + opening.error + "): set aside as " + opening.setAside + ", a new one made");
        break;
    case store::StoreOpening::Outcome::Opened:
        break;
    }
    std::lock_guard lock(bufferMutex_);
    store_ = std::move(store);
    return true;
}

bool MqttPublisher::Start(std::string& error) {
    if (!options_.passwordWarning.empty()) log_("--mqtt-password-file " + options_.passwordWarning);
    {
        // The old ones go (closing the file) before the file is opened
        // again; the diagnostics' thread may be looking at them.
        std::unique_ptr<MqttForwarder> forwarder;
        std::unique_ptr<store::MessageStore> store;
        {
            std::lock_guard lock(bufferMutex_);
            forwarder.swap(forwarder_);
            store.swap(store_);
            bufferTrouble_.clear();
        }
    }
    if (!options_.bufferFile.empty() && OpenBuffer()) {
        auto forwarder = std::make_unique<MqttForwarder>(*store_, options_.bufferRate, stats_, kValuePublished, log_);
        {
            std::lock_guard lock(bufferMutex_);
            forwarder_ = std::move(forwarder);
        }
        const store::StoreCounts counts = store_->Counts();
        log_("MQTT buffer " + options_.bufferFile + " (at most " + store::DescribeStoreLimits(options_.bufferLimits) +
             ", sent at " + std::to_string(static_cast<long long>(options_.bufferRate)) + " messages/s at most): " +
             std::to_string(counts.depth) + " messages waiting from before");
    } else if (options_.bufferFile.empty()) {
        log_("no MQTT buffer: values read while the broker is away are not kept (--buffer DIR keeps them on disk; "
             "under systemd the unit's StateDirectory is the default)");
    }
    broker::BrokerLink::Callbacks callbacks;
    if (forwarder_) callbacks.published = [this](int mid) { forwarder_->Acknowledged(mid); };
    callbacks.connected = [this] {
        stats_.Connected();
        if (forwarder_) forwarder_->Connected();
        std::lock_guard lock(mutex_);
        republish_ = true;
        connectedAt_ = Clock::now();
        // The first connection sweeps the prefix for retained topics left
        // by an earlier list.
        if (!swept_ && link_ && link_->SubscribeNow(options_.prefix + "/#")) {
            swept_ = true;
            sweeping_ = true;
            sweepUntil_ = connectedAt_ + kSweep;
        }
        wake_.notify_all();
    };
    callbacks.disconnected = [this] { stats_.Disconnected(); };
    callbacks.message = [this](const std::string& topic, const std::string& payload, bool retained) {
        OnMessage(topic, payload, retained);
    };
    // The online topic: retained "true" on connect, "false" as the Last Will and on Stop.
    const std::string online = options_.prefix + "/$online";
    broker::Presence presence;
    presence.will = [online] { return broker::LinkMessage{online, "false", 1, true}; };
    presence.hello = broker::LinkMessage{online, "true", 1, true};
    presence.farewell = presence.will;
    link_ = std::make_unique<broker::BrokerLink>(BrokerSettingsOf(options_), std::move(presence), std::move(callbacks),
                                                 log_);
    if (options_.writes) link_->Subscribe(options_.prefix + "/+/+/set");
    if (!link_->Start(error)) return false;
    if (forwarder_) forwarder_->Start(*link_);
    rounds_.Start(Clock::now());
    thread_ = std::thread([this] { Run(); });
    return true;
}

void MqttPublisher::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    // What the broker acknowledges until the link closes leaves the queue.
    if (link_) link_->Stop();
    if (forwarder_) forwarder_->Stop();
}

bool MqttPublisher::Reconfigure(const MqttOptions& options, const session::GateCheck& check,
                                const plan::Driver& planDriver, const plan::PlanOptions& planOptions,
                                const session::WriteAllowList* allow, std::string& error) {
    Stop();
    link_.reset();
    items_.clear();
    byTopic_.clear();
    rounds_.Clear();
    stations_.clear();
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
        republish_ = false;
        sets_.clear();
        setOrder_.clear();
        swept_ = false;
        sweeping_ = false;
    }
    options_ = options;
    return Prepare(check, planDriver, planOptions, allow, error) && Start(error);
}

void MqttPublisher::Run() {
    Clock::time_point remind = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        std::vector<SetRequest> sets;
        bool republish = false;
        bool sweepDone = false;
        Clock::time_point connectedAt;
        {
            std::unique_lock lock(mutex_);
            Clock::time_point until = rounds_.NextDue(Clock::now() + std::chrono::seconds(1));
            if (sweeping_) until = std::min(until, sweepUntil_);
            wake_.wait_until(lock, until, [&] { return stopping_ || republish_ || !sets_.empty(); });
            if (stopping_) return;
            // The oldest waiting sets, each gate's newest value.
            while (!setOrder_.empty() && sets.size() < kSetsPerRound) {
                auto found = sets_.find(setOrder_.front());
                setOrder_.pop_front();
                if (found == sets_.end()) continue;
                sets.push_back(std::move(found->second));
                sets_.erase(found);
            }
            std::swap(republish, republish_);
            connectedAt = connectedAt_;
            if (sweeping_ && Clock::now() >= sweepUntil_) {
                sweeping_ = false;
                sweepDone = true;
            }
            refusals_.Flush(Clock::now());
        }
        if (sweepDone) link_->UnsubscribeNow(options_.prefix + "/#");
        if (!sets.empty()) Write(sets);
        Clock::time_point now = Clock::now();
        if (republish) {
            // What a round published since the connection came is there already.
            // With the queue: not what is still in it, on its way.
            for (std::size_t i = 0; i < items_.size(); ++i) {
                const Item& item = items_[i];
                if (rounds_.Gates()[i].read && (!item.published.any || item.published.at < connectedAt) &&
                    !(item.stored && store_->Contains(item.stored)))
                    PublishItem(i, true, now);
            }
            Flush();
            PublishStations(true, connectedAt, line_.Snapshot());
        }
        std::vector<std::size_t> read;
        session::LineSnapshot line;
        if (rounds_.RunDue(read, line)) {
            const Clock::time_point after = Clock::now();
            for (const std::size_t i : read) {
                PublishItem(i, false, after);
                if (onValue) {
                    const session::GateReading& gate = rounds_.Gates()[i];
                    const bool good = gate.quality != session::GateQuality::Failed && gate.lastGood &&
                                      !gate.lastGood->empty();
                    std::vector<double> values;
                    std::string error;
                    const bool decoded = good && session::DecodeTag(gate.spec, *gate.lastGood, values, error);
                    onValue(gate, decoded ? std::optional<double>(values.front()) : std::nullopt);
                }
            }
            Flush();
            for (auto& [number, station] : stations_) station.known = true;
            PublishStations(false, {}, line);
        }
        now = Clock::now();
        if (!link_->Connected() && now >= remind) {
            log_("MQTT broker " + options_.url + " not connected; the line is read on" +
                 (forwarder_ && forwarder_->Taking()
                      ? ", its values kept in the buffer until the broker has them"
                      : forwarder_ ? ", but the buffer takes no messages: its values are dropped (counted) until it does"
                                   : " and its current values published on reconnect"));
            remind = now + std::chrono::seconds(60);
        }
    }
}

void MqttPublisher::Flush() {
    if (!forwarder_ || pending_.empty()) return;
    forwarder_->Submit(pending_);
    for (std::size_t i = 0; i < pending_.size(); ++i) items_[pendingItems_[i]].stored = pending_[i].id;
    pending_.clear();
    pendingItems_.clear();
}

void MqttPublisher::PublishItem(std::size_t index, bool force, Clock::time_point now) {
    Item& item = items_[index];
    const session::GateReading& gate = rounds_.Gates()[index];
    const std::string quality = session::QualityKey(gate);
    const auto every = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.publishEvery));
    if (!force && !NeedsPublish(item.published, gate.lastGood, quality, now, every)) return;
    // A tag's deadband: a change smaller than it, against the values last
    // published, waits (the quality's changes and `every` still go out).
    std::vector<double> values;
    std::string error;
    const bool decoded = gate.lastGood && session::DecodeTag(gate.spec, *gate.lastGood, values, error);
    if (!force && gate.spec.deadband > 0 && decoded && item.published.any && item.published.quality == quality &&
        now - item.published.at < every && !session::PastDeadband(gate.spec, item.tagValues, values))
        return;
    std::string payload = TagPayload(gate.spec, gate.lastGood, gate.block, gate.millis, quality);
    if (forwarder_) {
        pending_.push_back({0, item.topic, std::move(payload), 1, true, gate.millis});
        pendingItems_.push_back(index);
        item.published = {true, gate.lastGood, quality, now};
        item.tagValues = values;
        return;
    }
    if (link_->Publish(item.topic, payload, 1, true)) {
        item.published = {true, gate.lastGood, quality, now};
        item.tagValues = values;
        stats_.Request(kValuePublished);
    }
}

void MqttPublisher::PublishStations(bool force, Clock::time_point since, const session::LineSnapshot& line) {
    const Clock::time_point now = Clock::now();
    const bool portOpen = line.line.portOpen;
    if (!portPublished_ || portOpen != portOpen_ || (force && portAt_ < since)) {
        if (link_->Publish(portTopic_, portOpen ? "open" : "lost", 1, true)) {
            portPublished_ = true;
            portOpen_ = portOpen;
            portAt_ = now;
        }
    }
    std::map<unsigned, session::FailureKind> lastFailure;
    std::map<unsigned, bool> absent;
    for (const session::StationStats& s : line.stations) {
        lastFailure[s.station] = s.lastFailure;
        absent[s.station] = s.state == session::StationState::Absent;
    }
    for (auto& [number, station] : stations_) {
        if (!station.known) continue;
        // A lost port is every station down, whatever the scheduler last knew
        // of each. A station of the list that never answered is down to its
        // subscribers, absent or not.
        const bool down = !portOpen || line_.StationDown(number) || absent[number];
        std::string reason;
        if (!portOpen) reason = "port";
        else if (down && station.published && station.down && !station.reason.empty() && station.reason != "port") {
            // Still down: the reason it went down with stays. Its probes and
            // the requests failed meanwhile ("down") are no news.
            reason = station.reason;
        } else if (down) {
            const auto found = lastFailure.find(number);
            const session::FailureKind kind = found != lastFailure.end() ? found->second : session::FailureKind::None;
            reason = kind != session::FailureKind::None && kind != session::FailureKind::Down
                         ? session::FailureKindKey(kind)
                         : "no_answer";
        }
        const bool stale = force && station.at < since;
        if (!stale && station.published && station.down == down && station.reason == reason) continue;
        // The reason first, so that a subscriber seeing "down" finds it; an
        // empty retained message clears it when the station is up.
        if (link_->Publish(station.reasonTopic, reason, 1, true) &&
            link_->Publish(station.topic, down ? "down" : "up", 1, true)) {
            stats_.Request(kStatePublished);
            station.published = true;
            station.down = down;
            station.reason = reason;
            station.at = now;
        }
    }
}

void MqttPublisher::Sweep(const std::string& topic) {
    // Ours: the gates' and stations' topics, and the gateway's own $ topics
    // right under the prefix ($online, $port and the like).
    if (byTopic_.count(topic) != 0) return;
    for (const auto& [number, station] : stations_)
        if (station.topic == topic || station.reasonTopic == topic) return;
    const std::string own = options_.prefix + "/$";
    if (topic.rfind(own, 0) == 0 && topic.find('/', own.size()) == std::string::npos) return;
    if (link_->Publish(topic, "", 1, true)) log_("MQTT: cleared the retained topic " + topic + ", no longer published");
}

}  // namespace qel::mqtt
