#include "mqtt/mqtt_publisher.h"

#include <algorithm>
#include <cstdio>

namespace qel::mqtt {

namespace {

using Clock = std::chrono::steady_clock;

// The publisher is one client of the scheduler, far above the numbers the
// Modbus side hands out: its reads keep the planner's order, a station's
// exchanges one after another, so the line selects each station once a
// round and not before every exchange.
constexpr std::uint64_t kClient = std::uint64_t{1} << 48;

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

}  // namespace

MqttPublisher::MqttPublisher(session::LineScheduler& line, const MqttOptions& options, broker::LogSink log)
    : line_(line), options_(options), log_(std::move(log)), rounds_(line, kClient) {}

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
            why = origin + ": " + entry.gate.gas + " is not a gate the driver accepts";
            return false;
        }
        // A tag names the gate in place of its address: prefix/002/tank_level.
        const unsigned station = entry.gate.definition.station;
        Item item;
        item.topic = options_.prefix + "/" + (entry.tag.empty() ? part : StationTopicPart(station) + "/" + entry.tag);
        if (!byTopic_.emplace(item.topic, index).second) {
            why = origin + ": " + entry.gate.gas + (entry.tag.empty() ? " is listed twice" : " has a tag that is taken");
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
    if (forwarder_) snapshot.buffer = forwarder_->Counts();
    return snapshot;
}

bool MqttPublisher::Start(std::string& error) {
    if (!options_.bufferFile.empty()) {
        store_ = std::make_unique<store::MessageStore>();
        if (!store_->Open(options_.bufferFile, options_.bufferLimits, error)) return false;
        forwarder_ = std::make_unique<MqttForwarder>(*store_, options_.bufferRate, stats_, kValuePublished, log_);
        const store::StoreCounts counts = store_->Counts();
        log_("MQTT buffer " + options_.bufferFile + " (at most " + store::DescribeStoreLimits(options_.bufferLimits) +
             ", sent at " + std::to_string(static_cast<long long>(options_.bufferRate)) + " messages/s at most): " +
             std::to_string(counts.depth) + " messages waiting from before");
    } else {
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
        wake_.notify_all();
    };
    callbacks.disconnected = [this] { stats_.Disconnected(); };
    if (options_.writes)
        callbacks.message = [this](const std::string& topic, const std::string& payload) { OnMessage(topic, payload); };
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
    }
    options_ = options;
    return Prepare(check, planDriver, planOptions, allow, error) && Start(error);
}

void MqttPublisher::Run() {
    Clock::time_point remind = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        std::deque<SetRequest> sets;
        bool republish = false;
        Clock::time_point connectedAt;
        {
            std::unique_lock lock(mutex_);
            const Clock::time_point until = rounds_.NextDue(Clock::now() + std::chrono::seconds(1));
            wake_.wait_until(lock, until, [&] { return stopping_ || republish_ || !sets_.empty(); });
            if (stopping_) return;
            sets.swap(sets_);
            std::swap(republish, republish_);
            connectedAt = connectedAt_;
        }
        for (const SetRequest& set : sets) Write(set);
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
            for (const std::size_t i : read) PublishItem(i, false, after);
            Flush();
            for (auto& [number, station] : stations_) station.known = true;
            PublishStations(false, {}, line);
        }
        now = Clock::now();
        if (!link_->Connected() && now >= remind) {
            log_("MQTT broker " + options_.url + " not connected; the line is read on" +
                 (forwarder_ ? ", its values kept in the buffer until the broker has them"
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
    std::string payload = ValuePayload(gate.lastGood, gate.block, gate.millis, quality);
    if (forwarder_) {
        pending_.push_back({0, item.topic, std::move(payload), 1, true, gate.millis});
        pendingItems_.push_back(index);
        item.published = {true, gate.lastGood, quality, now};
        return;
    }
    if (link_->Publish(item.topic, payload, 1, true)) {
        item.published = {true, gate.lastGood, quality, now};
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
    for (const session::StationStats& s : line.stations) lastFailure[s.station] = s.lastFailure;
    for (auto& [number, station] : stations_) {
        if (!station.known) continue;
        // A lost port is every station down, whatever the scheduler last knew of each.
        const bool down = !portOpen || line_.StationDown(number);
        std::string reason;
        if (!portOpen) reason = "port";
        else if (down) {
            const auto found = lastFailure.find(number);
            reason = found != lastFailure.end() && found->second != session::FailureKind::None
                         ? session::FailureKindKey(found->second)
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

void MqttPublisher::OnMessage(const std::string& topic, const std::string& payload) {
    static const std::string suffix = "/set";
    if (topic.size() <= suffix.size() || topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) != 0) return;
    stats_.Request(kSetReceived);
    const std::string resultTopic = topic + "/result";
    const auto found = byTopic_.find(topic.substr(0, topic.size() - suffix.size()));
    std::string refusal;
    std::optional<long long> value;
    if (found == byTopic_.end()) {
        refusal = "not a published gate";
    } else if (rounds_.Gates()[found->second].block) {
        refusal = "a block is not written: list its gates on their own";
    } else if (!(value = ParseSetValue(payload))) {
        refusal = "the payload is neither a number nor {\"v\":N}";
    } else {
        const session::Gate& gate = rounds_.Gates()[found->second].gate;
        refusal = RefuseValue(gate.definition, gate.dataType, *value);
        if (!refusal.empty()) refusal += ", not " + std::to_string(*value);
        if (refusal.empty() && allow_ && !allow_->Allows(gate.definition)) refusal = "not in the write-allow list";
    }
    if (!refusal.empty()) {
        stats_.Exception(kSetRefused);
        log_("MQTT set on " + topic + " refused: " + refusal);
        link_->Publish(resultTopic, SetResultPayload(refusal), 1, false);
        return;
    }
    std::lock_guard lock(mutex_);
    sets_.push_back({found->second, resultTopic, *value});
    wake_.notify_all();
}

void MqttPublisher::Write(const SetRequest& set) {
    const session::Gate& gate = rounds_.Gates()[set.item].gate;
    session::LineRequest request;
    request.client = kClient;
    request.station = gate.definition.station;
    request.exchanges.push_back(session::LineExchange::Write(gate, static_cast<std::uint16_t>(set.value)));
    line_.Call(request);
    std::string refusal;
    if (!request.ok()) {
        refusal = request.failure() != session::FailureKind::None
                      ? std::string("the write failed: ") + session::FailureKindText(request.failure())
                  : request.outcome ? std::string("the driver refused the write (") +
                                          session::DriverResultName(request.outcome->result) + ")"
                                    : "the write was not done: the gateway is stopping";
        stats_.Exception(kSetFailed);
        log_("MQTT set of " + gate.gas + " to " + std::to_string(set.value) + ": " + refusal);
    }
    link_->Publish(set.resultTopic, SetResultPayload(refusal), 1, false);
    // Read back with the next round, whatever its period.
    rounds_.ReadSoon(set.item);
}

}  // namespace qel::mqtt
