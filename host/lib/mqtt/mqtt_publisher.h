// The gates of a list on an MQTT broker. A thread of its own reads them
// through the line scheduler, each gate at its period, in the scan planner's
// merged blocks; each station's reads are one client of the scheduler, so
// the publisher shares the line with the Modbus clients turn by turn, and a
// down station's gates are answered at once, without line time. Values go
// out retained at QoS 1 on a change and every `publishEvery`; station states
// on a change; everything again after a reconnect. With writes on, a
// message on a listed gate's .../set topic is written through the scheduler
// and answered on .../set/result.
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

#include "session/gate_list.h"
#include "session/line_scheduler.h"
#include "session/line_stats.h"
#include "mqtt/mqtt_link.h"
#include "mqtt/mqtt_options.h"
#include "mqtt/mqtt_payload.h"
#include "plan/scan_plan.h"
#include "session/write_allow.h"

namespace qel::mqtt {

// FrontEndStats request codes of the MQTT front-end.
enum MqttRequestCode : unsigned {
    kValuePublished = 1,  // a gate's value message the broker took
    kStatePublished = 2,  // a station's $state message the broker took
    kSetReceived = 3,     // a message on a listed gate's .../set topic
};
// FrontEndStats exception codes of the MQTT front-end: sets answered with a
// refusal on .../set/result.
enum MqttExceptionCode : unsigned {
    kSetRefused = 1,  // refused before the line: not a gate, a block, the payload, the range, the allow list
    kSetFailed = 2,   // the write failed on the line or the driver refused it
};

class MqttPublisher {
public:
    MqttPublisher(session::LineScheduler& line, const MqttOptions& options, LogSink log);
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
    std::function<void(const std::string& gas, std::optional<double> value)> onValue;
    // The front-end's counters, for the diagnostics.
    const session::FrontEndStats& Stats() const { return stats_; }

private:
    struct Item {
        session::Gate gate;
        std::string topic;  // prefix/002/DR0010
        bool block = false;
        std::optional<std::vector<std::uint16_t>> lastGood;
        std::string quality = "none";
        std::int64_t millis = 0;
        bool read = false;
        std::size_t group = 0;  // of groups_
        Published published;
    };
    struct Group {
        std::chrono::duration<double> period{1};
        std::vector<plan::Transfer> transfers;
        std::chrono::steady_clock::time_point due{};
    };
    struct Station {
        std::string topic;  // prefix/002/$state
        bool known = false;
        bool down = false;
        bool published = false;
        std::chrono::steady_clock::time_point at{};  // last published
    };
    struct SetRequest {
        std::size_t item;
        std::string resultTopic;
        long long value;
    };

    void Run();
    void ReadRound(std::vector<Group*>& due);
    void PublishItem(Item& item, bool force, std::chrono::steady_clock::time_point now);
    // force: again, unless published at `since` or later.
    void PublishStations(bool force, std::chrono::steady_clock::time_point since);
    void OnMessage(const std::string& topic, const std::string& payload);
    void Write(const SetRequest& request);

    session::LineScheduler& line_;
    MqttOptions options_;
    LogSink log_;
    const session::WriteAllowList* allow_ = nullptr;
    std::vector<Item> items_;
    std::map<std::string, std::size_t> byTopic_;  // an item's topic -> its index
    std::vector<Group> groups_;
    std::map<unsigned, Station> stations_;
    std::unique_ptr<MqttLink> link_;
    session::FrontEndStats stats_;

    std::mutex mutex_;  // the flags and the set requests below
    std::condition_variable wake_;
    bool stopping_ = false;
    bool republish_ = false;
    std::chrono::steady_clock::time_point connectedAt_{};
    std::deque<SetRequest> sets_;
    std::thread thread_;
};

}  // namespace qel::mqtt
