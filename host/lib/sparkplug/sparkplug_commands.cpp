// The node's DCMDs: each metric checked before anything goes to the line
// (the device's metric, writes on, not a block, the datatype it was born
// with, which follows the tag's type, the value in the tag's units, the
// allow list), then one write per gate waiting, the
// newest: a command that a newer one of the same metric replaces before it
// is written is counted and logged, never written. At most
// kMaxPendingCommands gates wait; a metric beyond is refused.
#include "sparkplug/sparkplug_node.h"

#include <set>

#include "session/gates/tag.h"
#include "session/gates/tag_write.h"
#include "session/gates/write_value.h"
#include "sparkplug/tag_metric.h"

namespace qel::sparkplug {

void SparkplugNode::Refuse(const std::string& what, const std::string& why, const std::string& reason) {
    stats_.Exception(kCommandRefused);
    stats_.Refusal(reason);
    log_("Sparkplug command on " + what + " refused: " + why);
}

void SparkplugNode::OnCommand(const std::string& device, const Payload& command) {
    unsigned station = 256;
    for (const auto& [number, d] : devices_)
        if (d.id == device) station = number;
    if (station == 256) {
        Refuse("device " + device, "not a device of this node", "unknown_device");
        return;
    }
    struct Checked {
        std::size_t index;
        std::string what;
        const Metric* metric;
    };
    std::vector<Checked> named;
    std::set<std::size_t> seen;
    for (const Metric& m : command.metrics) {
        std::size_t index = items_.size();
        if (m.alias) {
            const auto found = byAlias_.find(*m.alias);
            if (found != byAlias_.end()) index = found->second;
        } else {
            const auto found = byName_[station % 256].find(m.name);
            if (found != byName_[station % 256].end()) index = found->second;
        }
        const std::string what = device + "/" + (m.name.empty() ? "alias " + std::to_string(m.alias.value_or(0)) : m.name);
        if (index == items_.size() || rounds_.Gates()[index].gate.definition.station != station) {
            Refuse(what, "not a metric of the device", "unknown_metric");
            continue;
        }
        // A metric twice in one DCMD: which one was meant is not known, as
        // for a key given twice in a JSON set. The whole DCMD is refused.
        if (!seen.insert(index).second) {
            Refuse("device " + device, "the metric " + items_[index].name + " is given twice in one DCMD", "twice");
            return;
        }
        named.push_back({index, what, &m});
    }
    // Counted one by one, logged once for the DCMD: a DCMD of a thousand
    // metrics is not a thousand lines of log.
    std::size_t superseded = 0, busy = 0;
    for (const Checked& checked : named) {
        const Metric& m = *checked.metric;
        const session::GateReading& item = rounds_.Gates()[checked.index];
        // The datatype of the birth: the tag's (Int32, Float, Double for a
        // scaled tag...), Boolean or UInt16 for a gate without a type.
        const DataType born = TagDataType(item.spec);
        std::string refusal, reason;
        const long long value = static_cast<long long>(m.number);
        std::vector<std::uint16_t> words;
        const std::optional<double> number = MetricNumber(m);
        if (!config_.writes) {
            refusal = "writes are off (--mqtt-writes)";
            reason = "writes_off";
        } else if (item.block) {
            refusal = "a block is not written: list its gates on their own";
            reason = "block";
        } else if (m.type != born) {
            refusal = "datatype " + DataTypeName(static_cast<std::uint32_t>(m.type)) + " does not match the metric's " +
                      DataTypeName(static_cast<std::uint32_t>(born));
            reason = "datatype";
        } else if (m.isNull || !number) {
            refusal = "no value";
            reason = "not_a_number";
        } else if (!item.spec.Identity()) {
            // A tag is written in its engineering units, through its conversion.
            reason = "value";
            if (session::TagWriteWords(item.spec, item.gate, *number, words, refusal) && allow_ &&
                !session::AllowsTagWrite(*allow_, item.gate, words.size())) {
                refusal = "not in the write-allow list";
                reason = "not_allowed";
            }
        } else {
            refusal = session::RefuseValue(item.gate.definition, item.gate.dataType, value);
            reason = "value";
            if (!refusal.empty()) refusal += ", not " + std::to_string(value);
            if (refusal.empty() && allow_ && !allow_->Allows(item.gate.definition)) {
                refusal = "not in the write-allow list";
                reason = "not_allowed";
            }
        }
        if (!refusal.empty()) {
            Refuse(checked.what, refusal, reason);
            continue;
        }
        std::lock_guard lock(mutex_);
        Command written{checked.index, value, std::move(words), session::NumberText(*number)};
        const auto found = commands_.find(checked.index);
        if (found != commands_.end()) {
            found->second = std::move(written);
            stats_.Exception(kCommandSuperseded);
            ++superseded;
        } else if (commands_.size() >= kMaxPendingCommands) {
            stats_.Exception(kCommandRefused);
            stats_.Refusal("backlog");
            ++busy;
        } else {
            commands_.emplace(checked.index, std::move(written));
            commandOrder_.push_back(checked.index);
        }
        wake_.notify_all();
    }
    if (superseded > 0)
        log_("Sparkplug DCMD to device " + device + ": " + std::to_string(superseded) +
             " waiting writes superseded by its newer values, which are written instead");
    if (busy > 0)
        log_("Sparkplug command on device " + device + " refused for " + std::to_string(busy) + " metrics: " +
             std::to_string(kMaxPendingCommands) + " writes of other metrics are waiting for the line");
}

void SparkplugNode::TakeCommands(std::vector<Command>& commands) {
    while (!commandOrder_.empty() && commands.size() < kCommandsPerTurn) {
        const auto found = commands_.find(commandOrder_.front());
        commandOrder_.pop_front();
        if (found == commands_.end()) continue;
        commands.push_back(found->second);
        commands_.erase(found);
    }
}

void SparkplugNode::Write(const Command& command) {
    const session::GateReading& item = rounds_.Gates()[command.item];
    session::LineRequest request;
    request.client = kSparkplugClient;
    request.station = item.gate.definition.station;
    if (command.words.empty())
        request.exchanges.push_back(session::LineExchange::Write(item.gate, static_cast<std::uint16_t>(command.value)));
    else
        request.exchanges = session::TagWrites(item.gate, command.words);
    line_.Call(request);
    if (!request.ok()) {
        stats_.Exception(kCommandFailed);
        log_("Sparkplug DCMD of " + item.gate.gas + " to " + command.text + ": " +
             (request.failure() != session::FailureKind::None
                  ? std::string("the write failed: ") + session::FailureKindText(request.failure())
              : request.outcome ? std::string("the driver refused the write (") +
                                      session::DriverResultName(request.outcome->result) + ")"
                                : "not done: the gateway is stopping"));
    }
    rounds_.ReadSoon(command.item);  // read back with the next round
}

}  // namespace qel::sparkplug
