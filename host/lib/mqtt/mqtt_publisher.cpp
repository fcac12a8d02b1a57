#include "mqtt/mqtt_publisher.h"

#include <algorithm>
#include <cstdio>
#include <set>

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

MqttPublisher::MqttPublisher(session::LineScheduler& line, const MqttOptions& options, LogSink log)
    : line_(line), options_(options), log_(std::move(log)), refusals_(log_, kRefusalBurst, kRefusalWindow, 256) {}

MqttPublisher::~MqttPublisher() { Stop(); }

bool MqttPublisher::Prepare(const session::GateCheck& check, const plan::Driver& planDriver,
                            const plan::PlanOptions& planOptions, const session::WriteAllowList* allow,
                            std::string& error) {
    allow_ = allow;
    std::vector<session::ListedGate> listed;
    const bool inline_ = options_.publishFile.empty();
    const std::string& origin = inline_ ? options_.publishOrigin : options_.publishFile;
    if (inline_ ? !session::ParseGateList(options_.publishLines, origin, listed, error)
                : !session::ReadGateList(options_.publishFile, listed, error))
        return false;
    std::map<double, std::vector<std::size_t>> byPeriod;
    for (session::ListedGate& entry : listed) {
        Item item;
        item.gate = entry.gate;
        const std::string part = GateTopicPart(item.gate.gas);
        if (part.empty() || !check(item.gate)) {
            error = origin + ": " + item.gate.gas + " is not a gate the driver accepts";
            return false;
        }
        // A tag names the gate in place of its address: prefix/002/tank_level.
        item.topic = options_.prefix + "/" +
                     (entry.tag.empty() ? part : StationTopicPart(item.gate.definition.station) + "/" + entry.tag);
        item.block = item.gate.count > 1;
        if (!byTopic_.emplace(item.topic, items_.size()).second) {
            error = origin + ": " + item.gate.gas + (entry.tag.empty() ? " is listed twice" : " has a tag that is taken");
            return false;
        }
        const unsigned station = item.gate.definition.station;
        stations_[station].topic = options_.prefix + "/" + StationTopicPart(station) + "/$state";
        byPeriod[entry.period > 0 ? entry.period : options_.publishPeriod].push_back(items_.size());
        items_.push_back(std::move(item));
    }
    for (const auto& [period, members] : byPeriod) {
        std::vector<plan::GateRequest> requests;
        for (const std::size_t i : members)
            requests.push_back({items_[i].gate.gas, items_[i].gate.count, items_[i].gate.dataType});
        plan::Plan plan = plan::MakePlan(requests, planDriver, planOptions);
        if (!plan.rejected.empty()) {
            error = origin + ": the planner cannot read " + requests[plan.rejected.front()].gas;
            return false;
        }
        Group group;
        group.period = std::chrono::duration<double>(period);
        for (plan::Transfer& transfer : plan.transfers) {
            for (plan::GateSlot& slot : transfer.gates) {
                slot.gate = members[slot.gate];
                items_[slot.gate].group = groups_.size();
            }
            group.transfers.push_back(std::move(transfer));
        }
        groups_.push_back(std::move(group));
    }
    return true;
}

std::string MqttPublisher::Describe() const {
    std::size_t exchanges = 0;
    std::string periods;
    for (const Group& group : groups_) {
        exchanges += group.transfers.size();
        periods += (periods.empty() ? "" : ", ") + Seconds(group.period.count());
    }
    return "publishing " + std::to_string(items_.size()) + " gates of " + std::to_string(stations_.size()) +
           " stations (" + std::to_string(exchanges) + " exchanges, every " + periods + ") to " + options_.url +
           " under " + options_.prefix + "/, " + (options_.writes ? "writes on .../set" : "no writes");
}

bool MqttPublisher::Start(std::string& error) {
    MqttLink::Callbacks callbacks;
    callbacks.connected = [this] {
        stats_.Connected();
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
    link_ = std::make_unique<MqttLink>(options_, options_.prefix + "/$online", std::move(callbacks), log_);
    if (options_.writes) link_->Subscribe(options_.prefix + "/+/+/set");
    if (!link_->Start(error)) return false;
    const Clock::time_point now = Clock::now();
    for (Group& group : groups_) group.due = now;
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
    if (link_) link_->Stop();
}

bool MqttPublisher::Reconfigure(const MqttOptions& options, const session::GateCheck& check,
                                const plan::Driver& planDriver, const plan::PlanOptions& planOptions,
                                const session::WriteAllowList* allow, std::string& error) {
    Stop();
    link_.reset();
    items_.clear();
    byTopic_.clear();
    groups_.clear();
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
            Clock::time_point until = Clock::now() + std::chrono::seconds(1);
            for (const Group& group : groups_) until = std::min(until, group.due);
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
        Clock::time_point now = Clock::now();
        if (republish) {
            // What a round published since the connection came is there already.
            for (Item& item : items_)
                if (item.read && (!item.published.any || item.published.at < connectedAt)) PublishItem(item, true, now);
            PublishStations(true, connectedAt);
        }
        std::vector<Group*> due;
        for (Group& group : groups_)
            if (group.due <= now) due.push_back(&group);
        if (!due.empty() || !sets.empty()) Round(due, sets);
        now = Clock::now();
        for (Group* group : due) {
            group->due += std::chrono::duration_cast<Clock::duration>(group->period);
            if (group->due < now) group->due = now;  // a round longer than the period: the next at once
        }
        // A written gate is read back with the next round, whatever its period.
        for (const SetRequest& set : sets) groups_[items_[set.item].group].due = now;
        if (!link_->Connected() && now >= remind) {
            log_("MQTT broker " + options_.url + " not connected; the line is read on and still published on reconnect");
            remind = now + std::chrono::seconds(60);
        }
    }
}

void MqttPublisher::Round(std::vector<Group*>& due, const std::vector<SetRequest>& sets) {
    std::size_t total = sets.size();
    for (const Group* group : due) total += group->transfers.size();
    std::vector<session::LineRequest> requests(total);
    std::vector<session::LineRequest*> calls;
    std::vector<const plan::Transfer*> transfers;
    for (const Group* group : due) {
        for (const plan::Transfer& transfer : group->transfers) {
            session::LineRequest& request = requests[calls.size()];
            request.client = kClient;
            request.station = transfer.station;
            request.exchanges.push_back(session::LineExchange::Read(transfer));
            calls.push_back(&request);
            transfers.push_back(&transfer);
        }
    }
    const std::size_t reads = calls.size();
    for (const SetRequest& set : sets) {
        const Item& item = items_[set.item];
        session::LineRequest& request = requests[calls.size()];
        request.client = kSetClient;
        request.station = item.gate.definition.station;
        request.exchanges.push_back(session::LineExchange::Write(item.gate, static_cast<std::uint16_t>(set.value)));
        calls.push_back(&request);
    }
    line_.CallAll(calls);
    for (std::size_t i = 0; i < sets.size(); ++i) Answer(sets[i], *calls[reads + i]);
    if (reads == 0) return;
    const std::int64_t millis = UnixMillis(std::chrono::system_clock::now());
    const Clock::time_point now = Clock::now();
    std::set<unsigned> unverified;
    for (const session::StationStats& s : line_.Snapshot().stations)
        if (s.blockCheck == session::BlockCheck::Unverified) unverified.insert(s.station);
    for (std::size_t t = 0; t < reads; ++t) {
        const plan::Transfer& transfer = *transfers[t];
        const session::LineRequest& request = *calls[t];
        for (const plan::GateSlot& slot : transfer.gates) {
            Item& item = items_[slot.gate];
            if (request.ok()) {
                item.lastGood = plan::GateValues(transfer, slot, request.exchanges.front().slots);
                item.quality = transfer.count > 1 && unverified.count(transfer.station) ? "unverified" : "good";
            } else {
                item.quality = request.failure() != session::FailureKind::None
                                   ? session::FailureKindKey(request.failure())
                                   : "failed";
            }
            item.millis = millis;
            item.read = true;
            PublishItem(item, false, now);
        }
    }
    for (auto& [number, station] : stations_) station.known = true;
    PublishStations(false, {});
}

void MqttPublisher::PublishItem(Item& item, bool force, Clock::time_point now) {
    const auto every = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.publishEvery));
    if (!force && !NeedsPublish(item.published, item.lastGood, item.quality, now, every)) return;
    if (link_->Publish(item.topic, ValuePayload(item.lastGood, item.block, item.millis, item.quality), 1, true)) {
        item.published = {true, item.lastGood, item.quality, now};
        stats_.Request(kValuePublished);
    }
}

void MqttPublisher::PublishStations(bool force, Clock::time_point since) {
    const Clock::time_point now = Clock::now();
    for (auto& [number, station] : stations_) {
        if (!station.known) continue;
        const bool down = line_.StationDown(number);
        const bool stale = force && station.at < since;
        if (!stale && station.published && station.down == down) continue;
        if (link_->Publish(station.topic, down ? "down" : "up", 1, true)) {
            stats_.Request(kStatePublished);
            station.published = true;
            station.down = down;
            station.at = now;
        }
    }
}

void MqttPublisher::Sweep(const std::string& topic) {
    // Ours: the gates' and stations' topics, and the gateway's own $ topics
    // right under the prefix ($online and the like).
    if (byTopic_.count(topic) != 0) return;
    for (const auto& [number, station] : stations_)
        if (station.topic == topic) return;
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
    if (found == byTopic_.end()) {
        refusal = "not a published gate";
    } else if (items_[found->second].block) {
        refusal = "a block is not written: list its gates on their own";
    } else if (!(value = ParseSetValue(payload))) {
        refusal = "the payload is neither a whole number nor {\"v\":N}";
    } else {
        const session::Gate& gate = items_[found->second].gate;
        refusal = RefuseValue(gate.definition, gate.dataType, *value);
        if (!refusal.empty()) refusal += ", not " + std::to_string(*value);
        if (refusal.empty() && allow_ && !allow_->Allows(gate.definition)) refusal = "not in the write-allow list";
    }
    if (!refusal.empty()) return Refused(topic, refusal);
    // Only the newest set of a gate waits: the one it replaces is answered.
    std::optional<SetRequest> replaced;
    {
        std::lock_guard lock(mutex_);
        SetRequest set{found->second, topic + "/result", *value};
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
                       SetResultPayload("superseded by a newer set before it was written, not " +
                                        std::to_string(replaced->value)),
                       0, false);
    }
}

void MqttPublisher::Answer(const SetRequest& set, const session::LineRequest& request) {
    const Item& item = items_[set.item];
    std::string refusal;
    if (!request.ok()) {
        refusal = request.failure() != session::FailureKind::None
                      ? std::string("the write failed: ") + session::FailureKindText(request.failure())
                  : request.outcome ? std::string("the driver refused the write (") +
                                          session::DriverResultName(request.outcome->result) + ")"
                                    : "the write was not done: the gateway is stopping";
        stats_.Exception(kSetFailed);
        log_("MQTT set of " + item.gate.gas + " to " + std::to_string(set.value) + ": " + refusal);
    }
    link_->Publish(set.resultTopic, SetResultPayload(refusal), 1, false);
}

}  // namespace qel::mqtt
