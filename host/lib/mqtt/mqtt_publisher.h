// The gates of a list on an MQTT broker. A thread of its own reads them
// through the line scheduler in rounds (session::GateRounds), each gate at
// its period, in the scan planner's merged blocks, as one client of the
// scheduler, so the publisher shares the line with the Modbus clients turn
// by turn, and a down station's gates are answered at once, without line time. Values go
// out retained at QoS 1 on a change and every `publishEvery`, through the
// on-disk queue (MqttForwarder) when there is one; station states (down
// for every station while the serial port is lost) and the port's state on
// a change; everything again after a reconnect. With writes on, a
// message on a listed gate's .../set topic is written through the scheduler
// and answered on .../set/result: only the newest set of a gate waits (the
// one it replaces is answered as superseded), so what waits is bounded by
// the list; the sets go to the line as a client of their own, a few a round,
// and take their turn like any other client. A refused set's log line is
// limited (a burst, then a count). On start, retained topics under the
// prefix that this list no longer publishes are cleared.
//
// Its FrontEndStats: connected is 1 while the broker connection is up,
// connects counts the connections made; refused and evicted stay 0. MQTT has
// no function codes, so requests and exceptions count under the codes below.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "session/gates/gate_list.h"
#include "session/gates/gate_rounds.h"
#include "session/line/line_scheduler.h"
#include "session/line/line_stats.h"
#include "session/report/log_limit.h"
#include "mqtt/mqtt_forwarder.h"
#include "broker/broker_link.h"
#include "mqtt/mqtt_options.h"
#include "mqtt/mqtt_payload.h"
#include "plan/scan_plan.h"
#include "session/gates/write_allow.h"
#include "store/message_store.h"

namespace qel::mqtt {

// FrontEndStats request codes of the MQTT front-end.
enum MqttRequestCode : unsigned {
    kValuePublished = 1,  // a gate's value message handed to the broker (from the queue when there is one)
    kStatePublished = 2,  // a station's $state message the broker took
    kSetReceived = 3,     // a message on a listed gate's .../set topic
};
// FrontEndStats exception codes of the MQTT front-end: sets answered with a
// refusal on .../set/result.
enum MqttExceptionCode : unsigned {
    kSetRefused = 1,  // refused before the line: not a gate, a block, the payload, the range, the allow list
    kSetFailed = 2,
    kSetSuperseded = 3,  // a newer set of the same gate came before it was written   // the write failed on the line or the driver refused it
};

// The publisher's clients of the scheduler, far above the numbers the
// Modbus side hands out: its reads keep the planner's order, a station's
// exchanges one after another, so the line selects each station once a
// round and not before every exchange. The sets are a client of their own:
// with sets and reads waiting, the line takes them in turn, and neither
// waits for the other's backlog.
inline constexpr std::uint64_t kPublisherClient = std::uint64_t{1} << 48;
inline constexpr std::uint64_t kSetClient = kPublisherClient + 1;

class MqttPublisher {
public:
    MqttPublisher(session::LineScheduler& line, const MqttOptions& options, broker::LogSink log);
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Reads the list, checks its gates and plans their reads. The checks are
    // the driver's and not re-entrant: call it before anything else checks
    // gates on another thread. `allow`, when given, limits the writes.
    bool Prepare(const session::GateCheck& check, const plan::Driver& planDriver,
                 const plan::PlanOptions& planOptions, const session::WriteAllowList* allow, std::string& error);
    // One line for the log: what is published where.
    std::string Describe() const;
    // Connects (in the background) and starts reading.
    bool Start(std::string& error);
    // Ends the reads after the round under way, then the connection.
    void Stop();
    // A reload: stops, takes these options, list and allow list (Prepare's
    // rules), and starts again, connecting anew. The counters go on.
    bool Reconfigure(const MqttOptions& options, const session::GateCheck& check, const plan::Driver& planDriver,
                     const plan::PlanOptions& planOptions, const session::WriteAllowList* allow, std::string& error);
    // Called on the publisher's thread with each gate's value after each
    // read (a block's first element; none when the read failed), for the
    // status page's trends. Set before Start.
    std::function<void(const session::GateReading& gate, std::optional<double> value)> onValue;
    // The front-end's counters, for the diagnostics.
    const session::FrontEndStats& Stats() const { return stats_; }
    // The same with the on-disk queue's counts when there is one.
    session::FrontEndStats::Snapshot TakeStats() const;

private:
    struct Item {  // a gate of rounds_, by the same index
        std::string topic;  // prefix/002/DR0010
        Published published;
        std::vector<double> tagValues;  // the engineering values published last, for a tag's deadband
        std::int64_t stored = 0;  // the id of its last message in the queue
    };
    struct Station {
        std::string topic;        // prefix/002/$state
        std::string reasonTopic;  // prefix/002/$reason
        bool known = false;
        bool down = false;
        std::string reason;  // why down: "port", or the station's last failure
        bool published = false;
        std::chrono::steady_clock::time_point at{};  // last published
    };
    struct SetRequest {
        std::size_t item;
        std::string resultTopic;
        long long value;
        std::vector<std::uint16_t> words;  // a tag's words for its value (tag_write.h); empty: `value`
        std::string text;                  // the value as the set gave it, for messages
    };

    void Run();
    void PublishItem(std::size_t index, bool force, std::chrono::steady_clock::time_point now);
    // force: again, unless published at `since` or later.
    void PublishStations(bool force, std::chrono::steady_clock::time_point since, const session::LineSnapshot& line);
    // The value messages of this round into the queue.
    void Flush();
    void OnMessage(const std::string& topic, const std::string& payload, bool retained);
    // The sets taken, on the line together as a client of their own.
    void Write(const std::vector<SetRequest>& sets);
    // A retained message seen while sweeping: cleared unless it is ours.
    void Sweep(const std::string& topic);
    void Refused(const std::string& topic, const std::string& refusal);

    session::LineScheduler& line_;
    MqttOptions options_;
    broker::LogSink log_;
    const session::WriteAllowList* allow_ = nullptr;
    session::GateRounds rounds_;
    std::vector<Item> items_;
    std::map<std::string, std::size_t> byTopic_;  // an item's topic -> its index
    std::map<unsigned, Station> stations_;
    std::unique_ptr<broker::BrokerLink> link_;
    session::FrontEndStats stats_;
    // Opens the buffer, setting a damaged file aside; false (and
    // bufferTrouble_) when it cannot be used: then there is none.
    bool OpenBuffer();

    std::unique_ptr<store::MessageStore> store_;
    std::string bufferTrouble_;  // the buffer asked for and unusable
    mutable std::mutex bufferMutex_;  // store_, forwarder_ and bufferTrouble_ as Start replaces them, for TakeStats
    std::unique_ptr<MqttForwarder> forwarder_;
    std::vector<store::StoredMessage> pending_;  // this round's value messages for the queue
    std::vector<std::size_t> pendingItems_;      // and their items
    std::string portTopic_;                      // prefix/$port
    bool portPublished_ = false;
    bool portOpen_ = true;
    std::chrono::steady_clock::time_point portAt_{};

    std::mutex mutex_;  // the flags and the set requests below
    std::condition_variable wake_;
    bool stopping_ = false;
    bool republish_ = false;
    std::chrono::steady_clock::time_point connectedAt_{};
    std::map<std::size_t, SetRequest> sets_;  // the newest set of each gate, by item
    std::deque<std::size_t> setOrder_;       // the items of sets_, the oldest first
    bool sweeping_ = false;                  // retained topics are being swept ...
    std::chrono::steady_clock::time_point sweepUntil_{};  // ... until then
    bool swept_ = false;                     // once per Start
    session::LogLimit refusals_;             // under mutex_
    struct LastSet {
        std::string topic, payload;
        std::chrono::steady_clock::time_point at{};
    } lastSet_;                              // on the network thread
    std::thread thread_;
};

}  // namespace qel::mqtt
