// The publisher's sets: a message on a listed gate's .../set topic checked
// before anything goes to the line (the gate, the payload by the one rule of
// every write, a tag's value in its units, the range, the allow list), the
// newest set of each gate waiting, then written and answered on
// .../set/result.
#include "mqtt/mqtt_publisher.h"

#include <chrono>

#include "mqtt/topic_hint.h"
#include "session/gates/tag_convert.h"
#include "session/gates/tag_write.h"

namespace qel::mqtt {

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

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
    // An empty message is the clearing of a retained set (ours, or anyone's):
    // no set, so neither written nor refused.
    if (payload.empty()) return;
    stats_.Request(kSetReceived);
    // A retained set would be written again at every reconnect: a set is a
    // command of the moment.
    if (retained) {
        // Cleared, so that no reconnect delivers it again; the clearing
        // comes back as an empty message, which is no set (above).
        link_->Publish(topic, "", 1, true);
        return Refused(topic, "a retained set is not written");
    }
    const auto found = byTopic_.find(topic.substr(0, topic.size() - suffix.size()));
    std::string refusal;
    std::optional<long long> value;
    session::WritePayload parsed;
    std::vector<std::uint16_t> words;
    std::string text;
    const session::GateReading* reading = found == byTopic_.end() ? nullptr : &rounds_.Gates()[found->second];
    if (found == byTopic_.end()) {
        refusal = "not a published gate" + TopicHint(topic.substr(0, topic.size() - suffix.size()), [this] {
            std::vector<std::string> topics;
            for (const auto& [published, index] : byTopic_) topics.push_back(published);
            return topics;
        }());
    } else if (reading->block) {
        refusal = "a block is not written: list its gates on their own";
    } else if (!reading->spec.Identity()) {
        // A tag is written in its engineering units: the same payload rule,
        // a fraction taken.
        if (!(parsed = ParseWritePayload(payload, true)).ok) {
            refusal = parsed.refusal;
        } else {
            text = session::NumberText(parsed.number);
            if (!session::TagWriteWords(reading->spec, reading->gate, parsed.number, words, refusal)) {
            } else if (allow_ && !session::AllowsTagWrite(*allow_, reading->gate, words.size())) {
                refusal = "not in the write-allow list";
            }
            value = 0;
        }
    } else if (!(parsed = ParseWritePayload(payload)).ok) {
        refusal = parsed.refusal;
    } else {
        value = parsed.value;
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
