#include "mqtt/mqtt_publisher.h"
#include "session/gates/tag_convert.h"
#include "session/gates/tag_write.h"

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
// The sets are a client of their own: with sets and reads waiting, the line
// takes them in turn, and neither waits for the other's backlog.
constexpr std::uint64_t kSetClient = kClient + 1;
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

void MqttPublisher::Refused(const std::string& topic, const std::string& refusal) {
    stats_.Exception(kSetRefused);
    {
        std::lock_guard lock(mutex_);
        refusals_.Line("refused sets on " + topic, "MQTT set on " + topic + " refused: " + refusal, Clock::now());
    }
    // At QoS 0: a flood of refusals must not pile up in the client's queue
    // of messages awaiting the broker's acknowledgement.
    link_->Publish(topic + "/result", SetResultPayload(refusal), 0, false);
}

void MqttPublisher::OnMessage(const std::string& topic, const std::string& payload, bool retained) {
    static const std::string suffix = "/set";
    bool sweeping;
    {
        std::lock_guard lock(mutex_);
        sweeping = sweeping_;
    }
    if (retained && sweeping) Sweep(topic);
    if (!options_.writes) return;
    // While the prefix is swept, a broker may deliver a set once for each of
    // the two subscriptions it matches: the copy right behind it is the same
    // message.
    const Clock::time_point now = Clock::now();
    if (sweeping && !retained && topic == lastSet_.topic && payload == lastSet_.payload &&
        now - lastSet_.at < std::chrono::milliseconds(100))
        return;
    lastSet_ = {topic, payload, now};
    if (topic.size() <= suffix.size() || topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) != 0) return;
    stats_.Request(kSetReceived);
    // A retained set would be written again at every reconnect: a set is a
    // command of the moment.
    if (retained) return Refused(topic, "a retained set is not written");
    const auto found = byTopic_.find(topic.substr(0, topic.size() - suffix.size()));
    std::string refusal;
    std::optional<long long> value;
    std::vector<std::uint16_t> words;
    std::string text;
    const session::GateReading* reading = found == byTopic_.end() ? nullptr : &rounds_.Gates()[found->second];
    if (found == byTopic_.end()) {
        refusal = "not a published gate";
    } else if (reading->block) {
        refusal = "a block is not written: list its gates on their own";
    } else if (!reading->spec.Identity()) {
        // A tag is written in its engineering units.
        const std::optional<double> number = ParseSetNumber(payload);
        if (!number) {
            refusal = "the payload is neither a number nor {\"v\":N}";
        } else {
            text = session::NumberText(*number);
            if (!session::TagWriteWords(reading->spec, reading->gate, *number, words, refusal)) {
            } else if (allow_ && !session::AllowsTagWrite(*allow_, reading->gate, words.size())) {
                refusal = "not in the write-allow list";
            }
            value = 0;
        }
    } else if (!(value = ParseSetValue(payload))) {
        refusal = "the payload is neither a whole number nor {\"v\":N}";
    } else {
        const session::Gate& gate = rounds_.Gates()[found->second].gate;
        refusal = RefuseValue(gate.definition, gate.dataType, *value);
        if (!refusal.empty()) refusal += ", not " + std::to_string(*value);
        if (refusal.empty() && allow_ && !allow_->Allows(gate.definition)) refusal = "not in the write-allow list";
    }
    if (!refusal.empty()) return Refused(topic, refusal);
    // Only the newest set of a gate waits: the one it replaces is answered.
    std::optional<SetRequest> replaced;
    {
        std::lock_guard lock(mutex_);
        SetRequest set{found->second, topic + "/result", *value, words, text.empty() ? std::to_string(*value) : text};
        auto [at, added] = sets_.try_emplace(found->second, set);
        if (added) {
            setOrder_.push_back(found->second);
        } else {
            replaced = std::move(at->second);
            at->second = std::move(set);
        }
        wake_.notify_all();
    }
    if (replaced) {
        stats_.Exception(kSetSuperseded);
        link_->Publish(replaced->resultTopic,
                       SetResultPayload("superseded by a newer set before it was written, not " + replaced->text),
                       0, false);
    }
}

void MqttPublisher::Write(const std::vector<SetRequest>& sets) {
    std::vector<session::LineRequest> requests(sets.size());
    std::vector<session::LineRequest*> calls;
    for (std::size_t i = 0; i < sets.size(); ++i) {
        const session::Gate& gate = rounds_.Gates()[sets[i].item].gate;
        session::LineRequest& request = requests[i];
        request.client = kSetClient;
        request.station = gate.definition.station;
        if (sets[i].words.empty())
            request.exchanges.push_back(session::LineExchange::Write(gate, static_cast<std::uint16_t>(sets[i].value)));
        else
            request.exchanges = session::TagWrites(gate, sets[i].words);
        calls.push_back(&request);
    }
    line_.CallAll(calls);
    for (std::size_t i = 0; i < sets.size(); ++i) {
        const SetRequest& set = sets[i];
        const session::LineRequest& request = requests[i];
        const session::Gate& gate = rounds_.Gates()[set.item].gate;
        std::string refusal;
        if (!request.ok()) {
            refusal = request.failure() != session::FailureKind::None
                          ? std::string("the write failed: ") + session::FailureKindText(request.failure())
                      : request.outcome ? std::string("the driver refused the write (") +
                                              session::DriverResultName(request.outcome->result) + ")"
                                        : "the write was not done: the gateway is stopping";
            stats_.Exception(kSetFailed);
            log_("MQTT set of " + gate.gas + " to " + set.text + ": " + refusal);
        }
        link_->Publish(set.resultTopic, SetResultPayload(refusal), 1, false);
        // Read back with the next round, whatever its period.
        rounds_.ReadSoon(set.item);
    }
}

}  // namespace qel::mqtt
