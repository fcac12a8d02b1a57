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

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

}  // namespace

MqttPublisher::MqttPublisher(session::LineScheduler& line, const MqttOptions& options, LogSink log)
    : line_(line), options_(options), log_(std::move(log)) {}

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
        wake_.notify_all();
    };
    callbacks.disconnected = [this] { stats_.Disconnected(); };
    if (options_.writes)
        callbacks.message = [this](const std::string& topic, const std::string& payload) { OnMessage(topic, payload); };
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
            Clock::time_point until = Clock::now() + std::chrono::seconds(1);
            for (const Group& group : groups_) until = std::min(until, group.due);
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
            for (Item& item : items_)
                if (item.read && (!item.published.any || item.published.at < connectedAt)) PublishItem(item, true, now);
            PublishStations(true, connectedAt);
        }
        std::vector<Group*> due;
        for (Group& group : groups_)
            if (group.due <= now) due.push_back(&group);
        if (!due.empty()) ReadRound(due);
        now = Clock::now();
        for (Group* group : due) {
            group->due += std::chrono::duration_cast<Clock::duration>(group->period);
            if (group->due < now) group->due = now;  // a round longer than the period: the next at once
        }
        if (!link_->Connected() && now >= remind) {
            log_("MQTT broker " + options_.url + " not connected; the line is read on and still published on reconnect");
            remind = now + std::chrono::seconds(60);
        }
    }
}

void MqttPublisher::ReadRound(std::vector<Group*>& due) {
    std::size_t total = 0;
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
    line_.CallAll(calls);
    const std::int64_t millis = UnixMillis(std::chrono::system_clock::now());
    const Clock::time_point now = Clock::now();
    std::set<unsigned> unverified;
    for (const session::StationStats& s : line_.Snapshot().stations)
        if (s.blockCheck == session::BlockCheck::Unverified) unverified.insert(s.station);
    for (std::size_t t = 0; t < calls.size(); ++t) {
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
            if (onValue)
                onValue(item.gate.gas, request.ok() && item.lastGood && !item.lastGood->empty()
                                           ? std::optional<double>(item.lastGood->front())
                                           : std::nullopt);
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
    } else if (items_[found->second].block) {
        refusal = "a block is not written: list its gates on their own";
    } else if (!(value = ParseSetValue(payload))) {
        refusal = "the payload is neither a number nor {\"v\":N}";
    } else {
        const session::Gate& gate = items_[found->second].gate;
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
    Item& item = items_[set.item];
    session::LineRequest request;
    request.client = kClient;
    request.station = item.gate.definition.station;
    request.exchanges.push_back(session::LineExchange::Write(item.gate, static_cast<std::uint16_t>(set.value)));
    line_.Call(request);
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
    // Read back with the next round, whatever its period.
    groups_[item.group].due = Clock::now();
}

}  // namespace qel::mqtt
