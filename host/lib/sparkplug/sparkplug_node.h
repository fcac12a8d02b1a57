// The line as a Sparkplug B edge node. A thread of its own reads the gates
// of a list through the line scheduler in rounds (session::GateRounds: each
// gate at its period, in the scan planner's blocks, one client of the
// scheduler), and publishes them on a
// broker connection of its own: NBIRTH with bdSeq, the node controls and the
// port's state, NDEATH as the Last Will with the same bdSeq; each station a
// device, DBIRTH with all its metrics (name, datatype, alias, value,
// quality), DDATA by exception with aliases, DDEATH while the station is down
// or the port lost and DBIRTH when it is back; seq 0-255 on each. NCMD
// Node Control/Rebirth births everything again; DCMD writes a metric through
// the scheduler with writes on and within the allow list. With a primary
// host, nothing is born while its STATE is offline: the data is held
// (HeldData) and sent, historical, after the rebirth when it is online.
//
// Its FrontEndStats: connected while the broker connection is up; requests
// and exceptions under the codes below.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "broker/broker_link.h"
#include "common/line_file.h"
#include "plan/scan_plan.h"
#include "session/gates/gate_list.h"
#include "session/gates/gate_rounds.h"
#include "session/line/line_scheduler.h"
#include "session/line/line_stats.h"
#include "session/gates/write_allow.h"
#include "sparkplug/held_data.h"
#include "sparkplug/sparkplug_options.h"
#include "sparkplug/sparkplug_payload.h"
#include "store/store_limits.h"

namespace qel::sparkplug {

enum SparkplugRequestCode : unsigned {
    kMessagePublished = 1,  // a birth, death or data message handed to the broker
    kCommandReceived = 2,   // an NCMD or DCMD
    kHeldSent = 3,          // a held message sent after the rebirth
};
enum SparkplugExceptionCode : unsigned {
    kCommandRefused = 1,     // a command refused before the line: retained, writes off, unknown metric, a block, the
                             // datatype, the value, the allow list, too many writes waiting
    kCommandFailed = 2,      // the write failed on the line or the driver refused it
    kCommandSuperseded = 3,  // a newer DCMD of the same metric came before it was written
};

// The node's client of the line scheduler, apart from the Modbus clients and
// the JSON publisher's (1 << 48).
inline constexpr std::uint64_t kSparkplugClient = std::uint64_t{1} << 47;
// DCMD writes waiting for the line at most, each of another gate (a gate
// keeps only its newest); the line writes kCommandsPerTurn of them between
// two rounds of reads.
inline constexpr std::size_t kMaxPendingCommands = 256;
inline constexpr std::size_t kCommandsPerTurn = 8;

struct NodeConfig {
    SparkplugOptions sparkplug;
    broker::BrokerSettings broker;
    std::string publishFile;  // the gate list, or its lines inline
    std::vector<common::TextLine> publishLines;
    std::string publishOrigin;
    double publishPeriod = 1;
    bool writes = false;
    std::string holdFile;  // the on-disk store for held data; empty: in memory
    store::StoreLimits holdLimits;
};

class SparkplugNode {
public:
    SparkplugNode(session::LineScheduler& line, NodeConfig config, broker::LogSink log);
    ~SparkplugNode();
    SparkplugNode(const SparkplugNode&) = delete;
    SparkplugNode& operator=(const SparkplugNode&) = delete;

    // Reads the list, checks its gates and plans their reads (the driver's
    // checks: before anything else checks gates on another thread).
    bool Prepare(const session::GateCheck& check, const plan::Driver& planDriver,
                 const plan::PlanOptions& planOptions, const session::WriteAllowList* allow, std::string& error);
    std::string Describe() const;
    bool Start(std::string& error);
    void Stop();
    session::FrontEndStats::Snapshot TakeStats() const;

private:
    struct Item {  // a gate of rounds_, by the same index
        std::string name;  // the metric's: the tag, or the gate's address without the station
        std::uint64_t alias = 0;
        bool changed = false;  // since it last went out
        std::vector<double> sent;  // a tag's values when it last changed past its deadband
        session::GateQuality sentQuality = session::GateQuality::Failed;
    };
    struct Device {
        std::string id;  // "002"
        std::vector<std::size_t> items;
        bool born = false;  // DBIRTH sent since the last NBIRTH, no DDEATH since
    };
    struct Command {
        std::size_t item;
        long long value;
        std::vector<std::uint16_t> words;  // a tag's words for its value (tag_write.h); empty: `value`
        std::string text;                  // the value as given, for messages
    };

    void Run();
    // NBIRTH and a DBIRTH for each station up; then what was held.
    void Birth(const session::LineSnapshot& line);
    void SendDevices(const session::LineSnapshot& line);
    void SendHeld();
    bool Send(const std::string& topic, Payload payload);
    Metric ValueMetric(std::size_t index, bool named) const;
    Payload NodeDeath() const;
    bool Live() const;  // connected, born, and the primary host online (when there is one)
    void OnMessage(const std::string& topic, const std::string& payload, bool retained);
    void OnState(const std::string& payload);
    // Whether the gate's last read changed it past its tag's deadband.
    bool PastDeadband(std::size_t index);
    void OnCommand(const std::string& device, const Payload& payload);
    // Logged, and counted by `reason` (a metric label: "writes_off", "value", ...).
    void Refuse(const std::string& what, const std::string& why, const std::string& reason);
    void Write(const Command& command);
    // The next commands to write, the oldest gates first (mutex_ held).
    void TakeCommands(std::vector<Command>& commands);

    session::LineScheduler& line_;
    NodeConfig config_;
    broker::LogSink log_;
    const session::WriteAllowList* allow_ = nullptr;
    session::GateRounds rounds_;
    std::vector<Item> items_;
    std::map<std::string, std::size_t> byName_[256];  // per station: a metric's name -> its item
    std::map<std::uint64_t, std::size_t> byAlias_;
    std::map<unsigned, Device> devices_;
    std::unique_ptr<broker::BrokerLink> link_;
    std::unique_ptr<HeldData> held_;
    session::FrontEndStats stats_;
    std::uint64_t seq_ = 0;
    bool nodeBorn_ = false;
    bool portOpen_ = true;
    std::atomic<std::uint64_t> heldDepth_{0}, heldDropped_{0};  // for the diagnostics' thread
    std::string heldUnusable_;  // under mutex_: why the file is not used (in memory instead)
    std::string heldTrouble_;   // under mutex_: why the file takes nothing now

    mutable std::mutex mutex_;  // the fields below
    std::condition_variable wake_;
    std::uint64_t bdSeq_ = 0;  // of the connection under way (its Will)
    bool bdSeqUsed_ = false;
    bool stopping_ = false;
    bool rebirth_ = false;    // a new connection, NCMD Rebirth or the primary host back
    bool hostOnline_ = false;
    bool linkUp_ = false;     // the link's connected callback has run, and no disconnect since
    std::map<std::size_t, Command> commands_;  // the newest DCMD write of each gate, by item
    std::deque<std::size_t> commandOrder_;      // the items of commands_, the oldest first
    std::thread thread_;
};

}  // namespace qel::sparkplug
