#include "sparkplug/sparkplug_node.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

#include "session/gates/gate_address.h"
#include "session/gates/tag_convert.h"
#include "sparkplug/tag_metric.h"
#include "session/gates/write_value.h"

namespace qel::sparkplug {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kClient = kSparkplugClient;
// The node's own metrics' aliases; the gates' follow.
constexpr std::uint64_t kRebirthAlias = 1;
constexpr std::uint64_t kPortAlias = 2;
constexpr std::uint64_t kFirstGateAlias = 16;
const std::string kRebirth = "Node Control/Rebirth";
const std::string kPort = "Line/Port Open";
// Held messages sent after a rebirth in one turn at most.
constexpr std::size_t kHeldBatch = 200;

std::uint64_t NowMillis() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

// "042": the station as its gate addresses write it.
std::string DeviceId(unsigned station) { return session::StationText(station); }

Metric BoolMetric(const std::string& name, std::optional<std::uint64_t> alias, bool value, std::uint64_t millis) {
    Metric m;
    m.name = name;
    m.alias = alias;
    m.type = DataType::Boolean;
    m.timestamp = millis;
    m.number = value ? 1 : 0;
    return m;
}

// A node's NBIRTH or NDEATH, stamped now: its first metric the bdSeq of the
// connection.
Payload NodePayload(std::uint64_t bdSeq) {
    Payload payload;
    payload.timestamp = NowMillis();
    Metric metric;
    metric.name = "bdSeq";
    metric.type = DataType::Int64;
    metric.timestamp = payload.timestamp;
    metric.number = bdSeq;
    payload.metrics.push_back(metric);
    return payload;
}

}  // namespace

SparkplugNode::SparkplugNode(session::LineScheduler& line, NodeConfig config, broker::LogSink log)
    : line_(line), config_(std::move(config)), log_(std::move(log)), rounds_(line, kClient) {}

SparkplugNode::~SparkplugNode() { Stop(); }

bool SparkplugNode::Prepare(const session::GateCheck& check, const plan::Driver& planDriver,
                            const plan::PlanOptions& planOptions, const session::WriteAllowList* allow,
                            std::string& error) {
    allow_ = allow;
    const session::GateListSource source{config_.publishFile, config_.publishLines, config_.publishOrigin,
                                         config_.publishPeriod};
    const auto accept = [this](std::size_t index, const session::ListedGate& entry, std::string& why) {
        const unsigned station = entry.gate.definition.station;
        Item item;
        // The metric's name: its tag, or its address without the station ("DR0010").
        item.name = entry.tag.empty() ? entry.gate.gas.substr(3) : entry.tag;
        item.alias = kFirstGateAlias + index;
        if (!byName_[station % 256].emplace(item.name, index).second) {
            why = session::ListedAt(rounds_.Origin(), entry) + entry.gate.gas +
                  (entry.tag.empty() ? " is listed twice" : " has a tag that is taken");
            return false;
        }
        byAlias_[item.alias] = index;
        Device& device = devices_[station];
        device.id = DeviceId(station);
        device.items.push_back(index);
        items_.push_back(std::move(item));
        return true;
    };
    return rounds_.Prepare(source, check, accept, planDriver, planOptions, error);
}

std::string SparkplugNode::Describe() const {
    return "Sparkplug B node " + config_.sparkplug.group + "/" + config_.sparkplug.node + ": " +
           std::to_string(items_.size()) + " metrics on " + std::to_string(devices_.size()) + " devices to " +
           config_.broker.url +
           (config_.sparkplug.primaryHost.empty() ? "" : ", primary host " + config_.sparkplug.primaryHost) +
           (config_.writes ? ", DCMD writes" : ", no writes");
}

session::FrontEndStats::Snapshot SparkplugNode::TakeStats() const {
    session::FrontEndStats::Snapshot snapshot = stats_.Take();
    session::BufferStats buffer{};
    buffer.depth = heldDepth_.load();
    buffer.dropped = heldDropped_.load();
    {
        std::lock_guard lock(mutex_);
        buffer.trouble = !heldUnusable_.empty() ? heldUnusable_ : heldTrouble_;
    }
    buffer.usable = buffer.trouble.empty();
    snapshot.buffer = buffer;
    return snapshot;
}

Payload SparkplugNode::NodeDeath() const { return NodePayload(bdSeq_); }

bool SparkplugNode::Start(std::string& error) {
    if (!config_.holdFile.empty()) {
        HeldOpening opening = OpenHeldData(config_.holdFile, config_.holdLimits, config_.sparkplug.holdMax);
        held_ = std::move(opening.held);
        if (!opening.note.empty()) log_(opening.note);
        std::lock_guard lock(mutex_);
        heldUnusable_ = opening.trouble;
        heldTrouble_.clear();
    } else {
        held_ = MemoryHeldData(config_.sparkplug.holdMax);
    }
    broker::Presence presence;
    const std::string deathTopic = Topic(config_.sparkplug, "NDEATH");
    presence.will = [this, deathTopic] {
        std::lock_guard lock(mutex_);
        if (bdSeqUsed_) bdSeq_ = NextSequence(bdSeq_);
        bdSeqUsed_ = true;
        return broker::LinkMessage{deathTopic, EncodePayload(NodeDeath()), 1, false};
    };
    presence.farewell = [this, deathTopic] {
        std::lock_guard lock(mutex_);
        return broker::LinkMessage{deathTopic, EncodePayload(NodeDeath()), 1, false};
    };
    broker::BrokerLink::Callbacks callbacks;
    // The link counts as up for births only once this callback has run:
    // the link reports itself connected a moment before, and a birth in
    // that moment and another for the callback's rebirth would be two.
    callbacks.connected = [this] {
        stats_.Connected();
        std::lock_guard lock(mutex_);
        linkUp_ = true;
        rebirth_ = true;
        wake_.notify_all();
    };
    callbacks.disconnected = [this] {
        stats_.Disconnected();
        std::lock_guard lock(mutex_);
        linkUp_ = false;
    };
    callbacks.message = [this](const std::string& topic, const std::string& payload, bool retained) {
        OnMessage(topic, payload, retained);
    };
    link_ = std::make_unique<broker::BrokerLink>(config_.broker, std::move(presence), std::move(callbacks), log_);
    link_->Subscribe(Topic(config_.sparkplug, "NCMD"));
    link_->Subscribe(Topic(config_.sparkplug, "DCMD", "+"));
    if (!config_.sparkplug.primaryHost.empty()) link_->Subscribe(StateTopic(config_.sparkplug.primaryHost));
    if (!link_->Start(error)) return false;
    rounds_.Start(Clock::now());
    thread_ = std::thread([this] { Run(); });
    return true;
}

void SparkplugNode::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    if (link_) link_->Stop();  // the NDEATH, then the disconnect
}

bool SparkplugNode::Live() const {
    if (!link_->Connected()) return false;
    std::lock_guard lock(mutex_);
    return linkUp_ && (config_.sparkplug.primaryHost.empty() || hostOnline_);
}

void SparkplugNode::Run() {
    for (;;) {
        std::vector<Command> commands;
        bool rebirth = false;
        {
            std::unique_lock lock(mutex_);
            const Clock::time_point until = rounds_.NextDue(Clock::now() + std::chrono::seconds(1));
            wake_.wait_until(lock, until, [&] { return stopping_ || rebirth_ || !commands_.empty(); });
            if (stopping_) return;
            TakeCommands(commands);
            std::swap(rebirth, rebirth_);
        }
        for (const Command& command : commands) Write(command);
        std::vector<std::size_t> read;
        session::LineSnapshot round;
        if (rounds_.RunDue(read, round))
            for (const std::size_t i : read) items_[i].changed = items_[i].changed || PastDeadband(i);
        const session::LineSnapshot snapshot = line_.Snapshot();
        if (!Live()) {
            nodeBorn_ = false;
            SendDevices(snapshot);  // into the hold
            continue;
        }
        bool asked = false;
        {
            std::lock_guard lock(mutex_);
            asked = rebirth_;  // asked after the swap above, before a birth cleared it
        }
        if (rebirth || asked || !nodeBorn_) Birth(snapshot);
        else SendDevices(snapshot);
    }
}

bool SparkplugNode::PastDeadband(std::size_t index) {
    const session::GateReading& gate = rounds_.Gates()[index];
    if (!gate.changed) return false;
    // A tag's deadband: a change smaller than it, against the value that last
    // went out, with the same quality, waits.
    Item& item = items_[index];
    std::vector<double> values;
    std::string error;
    const bool decoded = gate.lastGood && session::DecodeTag(gate.spec, *gate.lastGood, values, error);
    if (gate.spec.deadband > 0 && decoded && item.sentQuality == gate.quality &&
        !session::PastDeadband(gate.spec, item.sent, values))
        return false;
    item.sent = values;
    item.sentQuality = gate.quality;
    return true;
}

Metric SparkplugNode::ValueMetric(std::size_t index, bool named) const {
    const Item& item = items_[index];
    const session::GateReading& gate = rounds_.Gates()[index];
    Metric m;
    if (named) m.name = item.name;
    m.alias = item.alias;
    m.timestamp = gate.changedMillis ? static_cast<std::uint64_t>(gate.changedMillis) : NowMillis();
    m.type = gate.block ? DataType::Bytes : TagDataType(gate.spec);
    std::vector<double> values;
    std::string error;
    if (!gate.lastGood) m.isNull = true;
    else if (gate.block) m.text = WordBytes(*gate.lastGood);
    else if (!session::DecodeTag(gate.spec, *gate.lastGood, values, error)) m.isNull = true;
    else SetMetricValue(m, values.front());
    if (named) SetTagProperties(m, gate.spec, gate.block);  // the birth carries what the tag says of itself
    if (!gate.read) {
        m.quality = Quality::Bad;
        m.reason = "not read yet";
    } else if (gate.quality == session::GateQuality::Failed) {
        m.quality = Quality::Bad;
        m.reason = session::QualityKey(gate);
    } else if (!gate.block && gate.lastGood && !error.empty()) {
        m.quality = Quality::Bad;
        m.reason = "bad_value: " + error;
    } else {
        m.quality = gate.quality == session::GateQuality::Good ? Quality::Good : Quality::Uncertain;
    }
    return m;
}

bool SparkplugNode::Send(const std::string& topic, Payload payload) {
    payload.seq = seq_;
    if (!link_->Publish(topic, EncodePayload(payload), 0, false)) return false;
    seq_ = NextSequence(seq_);
    stats_.Request(kMessagePublished);
    return true;
}

void SparkplugNode::Birth(const session::LineSnapshot& line) {
    std::uint64_t bdSeq;
    {
        // This birth answers every rebirth asked so far (the connection's,
        // the primary host's coming online): one NBIRTH, one DBIRTH each.
        std::lock_guard lock(mutex_);
        bdSeq = bdSeq_;
        rebirth_ = false;
    }
    Payload birth = NodePayload(bdSeq);
    birth.metrics.push_back(BoolMetric(kRebirth, kRebirthAlias, false, birth.timestamp));
    portOpen_ = line.line.portOpen;
    birth.metrics.push_back(BoolMetric(kPort, kPortAlias, portOpen_, birth.timestamp));
    seq_ = 0;  // an NBIRTH starts the sequence
    if (!Send(Topic(config_.sparkplug, "NBIRTH"), std::move(birth))) return;
    nodeBorn_ = true;
    for (auto& [number, device] : devices_) device.born = false;
    SendDevices(line);
    SendHeld();
}

void SparkplugNode::SendDevices(const session::LineSnapshot& line) {
    const bool live = nodeBorn_;
    const std::uint64_t now = NowMillis();
    if (live && line.line.portOpen != portOpen_) {
        Payload data;
        data.timestamp = now;
        portOpen_ = line.line.portOpen;
        data.metrics.push_back(BoolMetric("", kPortAlias, portOpen_, now));
        Send(Topic(config_.sparkplug, "NDATA"), std::move(data));
    }
    for (auto& [number, device] : devices_) {
        // A device that never answered (absent on the line) is dead too.
        const auto stats = std::find_if(line.stations.begin(), line.stations.end(),
                                        [number = number](const auto& s) { return s.station == number; });
        const bool absent = stats != line.stations.end() && stats->state == session::StationState::Absent;
        const bool down = !line.line.portOpen || line_.StationDown(number) || absent;
        bool anyRead = false;
        for (const std::size_t i : device.items) anyRead = anyRead || rounds_.Gates()[i].read;
        if (!live) {
            // Held for the primary host: the changes of a station that answers.
            Payload data;
            data.timestamp = now;
            for (const std::size_t i : device.items) {
                Item& item = items_[i];
                if (!item.changed || down) continue;
                item.changed = false;
                Metric m = ValueMetric(i, false);
                m.historical = true;
                data.metrics.push_back(std::move(m));
            }
            if (data.metrics.empty()) continue;
            std::string note;
            held_->Hold({0, device.id, EncodePayload(data), static_cast<std::int64_t>(now)}, note);
            if (!note.empty()) {
                log_(note);
                std::lock_guard lock(mutex_);
                heldTrouble_ = held_->Trouble();
            }
            heldDepth_ = held_->Depth();
            heldDropped_ = held_->Dropped();
            continue;
        }
        if (down) {
            if (device.born) {
                Payload death;
                death.timestamp = now;
                if (Send(Topic(config_.sparkplug, "DDEATH", device.id), std::move(death))) device.born = false;
            }
            continue;
        }
        if (!anyRead) continue;
        if (!device.born) {
            Payload birth;
            birth.timestamp = now;
            for (const std::size_t i : device.items) {
                birth.metrics.push_back(ValueMetric(i, true));
                items_[i].changed = false;
            }
            if (Send(Topic(config_.sparkplug, "DBIRTH", device.id), std::move(birth))) device.born = true;
            continue;
        }
        Payload data;
        data.timestamp = now;
        std::vector<std::size_t> sent;
        for (const std::size_t i : device.items)
            if (items_[i].changed) {
                data.metrics.push_back(ValueMetric(i, false));
                sent.push_back(i);
            }
        if (data.metrics.empty()) continue;
        if (Send(Topic(config_.sparkplug, "DDATA", device.id), std::move(data)))
            for (const std::size_t i : sent) items_[i].changed = false;
    }
}

void SparkplugNode::SendHeld() {
    for (;;) {
        std::vector<HeldMessage> batch = held_->Oldest(kHeldBatch);
        if (batch.empty()) return;
        std::vector<std::int64_t> sent;
        for (HeldMessage& message : batch) {
            Payload payload;
            if (DecodePayload(message.payload, payload)) {
                // A station that is not born now (down) gets its held data after its next DBIRTH.
                const auto device = std::find_if(devices_.begin(), devices_.end(),
                                                 [&](const auto& d) { return d.second.id == message.device; });
                if (device != devices_.end() && !device->second.born) break;
                if (!Send(message.device.empty() ? Topic(config_.sparkplug, "NDATA")
                                                 : Topic(config_.sparkplug, "DDATA", message.device),
                          std::move(payload)))
                    break;
                stats_.Request(kHeldSent);
            }
            sent.push_back(message.id);
        }
        held_->Remove(sent);
        heldDepth_ = held_->Depth();
        if (sent.size() < batch.size()) return;
    }
}

void SparkplugNode::OnMessage(const std::string& topic, const std::string& payload, bool retained) {
    if (!config_.sparkplug.primaryHost.empty() && topic == StateTopic(config_.sparkplug.primaryHost)) {
        OnState(payload);
        return;
    }
    Payload command;
    if (!DecodePayload(payload, command)) {
        stats_.Request(kCommandReceived);
        Refuse(topic, "not a Sparkplug B payload", "not_sparkplug");
        return;
    }
    stats_.Request(kCommandReceived);
    // A retained command would be carried out again at every new session
    // of the node: a command is of the moment.
    if (retained) {
        Refuse(topic, "a retained command is not carried out", "retained");
        return;
    }
    const std::string ncmd = Topic(config_.sparkplug, "NCMD");
    if (topic == ncmd) {
        for (const Metric& m : command.metrics)
            if ((m.name == kRebirth || m.alias == kRebirthAlias) && m.number != 0) {
                log_("Sparkplug rebirth asked by NCMD");
                std::lock_guard lock(mutex_);
                rebirth_ = true;
                wake_.notify_all();
                return;
            }
        Refuse(topic, "no metric of the node's that can be set (only " + kRebirth + ")", "node_metric");
        return;
    }
    const std::string dcmd = Topic(config_.sparkplug, "DCMD") + "/";
    if (topic.rfind(dcmd, 0) == 0) OnCommand(topic.substr(dcmd.size()), command);
}

void SparkplugNode::OnState(const std::string& payload) {
    // Sparkplug 3.0: {"online":true,"timestamp":...}; earlier hosts: ONLINE or OFFLINE.
    bool online = payload == "ONLINE";
    const nlohmann::json state = nlohmann::json::parse(payload, nullptr, false);
    if (state.is_object() && state.contains("online") && state["online"].is_boolean()) online = state["online"];
    std::lock_guard lock(mutex_);
    if (online == hostOnline_) return;
    hostOnline_ = online;
    log_("Sparkplug primary host " + config_.sparkplug.primaryHost + (online ? " online" : " offline: data is held"));
    if (online) rebirth_ = true;
    wake_.notify_all();
}

}  // namespace qel::sparkplug
