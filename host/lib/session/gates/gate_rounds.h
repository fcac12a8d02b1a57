// The reads of a publishing gate list, which every front-end that publishes
// one (the JSON topics, the Sparkplug node) shares: the list read and each
// gate checked, the reads planned by the scan planner in one group per
// period, and rounds of the groups that are due, read through the line
// scheduler as one client (its reads keep the planner's order, a station's
// exchanges one after another, so the line selects each station once a
// round). After a round each gate read has its last good value, its quality,
// the time of the read, and whether value or quality changed; what goes out
// and how is the front-end's.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/line_file.h"
#include "plan/scan_plan.h"
#include "session/gates/gate_list.h"
#include "session/line/line_scheduler.h"
#include "session/line/line_stats.h"
#include "session/gates/write_allow.h"

namespace qel::session {

// Where a publishing list comes from: a file, or lines given inline.
struct GateListSource {
    std::string file;  // empty: the lines below
    std::vector<common::TextLine> lines;
    std::string origin;  // names the inline lines in errors
    double period = 1;   // seconds, for a gate listed without one
};

enum class GateQuality {
    Failed,      // the last read failed: the value is the last good one, or none
    Unverified,  // a block read while its station's check is not yet verified
    Good,
};

struct GateReading {
    Gate gate;
    std::string tag;  // the list's name for it; empty: named by its address
    TagSpec spec;     // what its words mean (tag.h); gate.count is words
    unsigned line = 0;  // its line in the list
    bool block = false;  // more than one value
    std::optional<std::vector<std::uint16_t>> lastGood;
    GateQuality quality = GateQuality::Failed;
    FailureKind failure = FailureKind::None;  // with Failed; None: the driver refused the read
    std::int64_t millis = 0;                  // UTC milliseconds of the last read
    std::int64_t changedMillis = 0;           // of the last read that changed value or quality
    bool read = false;                        // read at least once
    bool changed = false;                     // value or quality changed by the last round that read it
    DriverResult result = DriverResult::Done; // of the last read (a line failure when it was not run)
    int attempts = 0;                         // the last read's attempts
    std::size_t exchange = 0;                 // the exchange of its group that reads it, in the planner's order
};

// "good", "unverified", or why the read failed ("timeout", ...; "failed"
// when the driver refused it).
std::string QualityKey(const GateReading& reading);

// "origin:line: " for a listed gate ("origin: " without a line).
std::string ListedAt(const std::string& origin, const ListedGate& entry);

// The driver's check of a listed gate, its words included: false with
// "origin:line: reason", the check's own words for a gate it refuses (as a
// program gives them), or why a 32-bit type's second word is past its
// area's end.
bool CheckListedGate(ListedGate& entry, const GateCheck& check, const std::string& origin, std::string& error);

class GateRounds {
public:
    using Clock = std::chrono::steady_clock;
    // A front-end's own look at a listed gate (its name, a clash of names):
    // false with the reason in error. `index` is the gate's in Gates().
    using Accept = std::function<bool(std::size_t index, const ListedGate& entry, std::string& error)>;

    // `client`: the scheduler client the reads go as.
    GateRounds(LineScheduler& line, std::uint64_t client);

    // Reads the list, checks each gate (the driver's checks: before anything
    // else checks gates on another thread) and hands it to `accept`, then
    // plans the reads. False with "origin: reason" in error.
    bool Prepare(const GateListSource& source, const GateCheck& check, const Accept& accept,
                 const plan::Driver& planDriver, const plan::PlanOptions& planOptions, std::string& error);
    // Gates read and checked already (qelhost poll), in one group of this
    // period; false with the planner's refusal in error.
    bool Prepare(const std::vector<Gate>& gates, double period, const plan::Driver& planDriver,
                 const plan::PlanOptions& planOptions, std::string& error);
    // Each exchange of a round as a client of its own (client, client + 1,
    // ...): a station that does not answer then costs the others nothing,
    // where the one client keeps the planner's order. Before the rounds.
    void ClientEach(bool each = true) { clientEach_ = each; }
    // The list's file, or the inline lines' origin.
    const std::string& Origin() const { return origin_; }
    const std::vector<GateReading>& Gates() const { return gates_; }
    // The exchanges of one round of every group, and the groups' periods.
    std::size_t Exchanges() const;
    std::vector<double> Periods() const;
    // The planner's predicted line time of one round of every group, ms.
    double PredictedMs() const;
    // Forgets the list (for another Prepare).
    void Clear();

    // Every group due now.
    void Start(Clock::time_point now);
    // When the next group is due; `limit` when none is sooner.
    Clock::time_point NextDue(Clock::time_point limit) const;
    // Reads the groups due now, all in one CallAll, and sets them due again a
    // period later (at once after a round longer than its period). False
    // when none was due. `read`: the gates read, in the planner's order;
    // `line`: the scheduler's snapshot taken right after the reads.
    bool RunDue(std::vector<std::size_t>& read, LineSnapshot& line);
    // The gate's group is read with the next round (after a write).
    void ReadSoon(std::size_t gate);

private:
    struct Group {
        std::chrono::duration<double> period{1};
        std::vector<plan::Transfer> transfers;
        double predictedMs = 0;
        Clock::time_point due{};
    };
    // The values of the gates read in this round that it read well, element by element.
    std::vector<RoundValue> RoundValues(const std::vector<std::size_t>& read, std::int64_t millis) const;
    // Plans the gates of each period into a group; false with the refusal.
    bool PlanGroups(const std::map<double, std::vector<std::size_t>>& byPeriod, const plan::Driver& planDriver,
                    const plan::PlanOptions& planOptions, std::string& error);

    LineScheduler& line_;
    std::uint64_t client_;
    std::string origin_;
    std::vector<GateReading> gates_;
    std::vector<std::size_t> groupOf_;  // per gate: its group
    std::vector<Group> groups_;
    bool clientEach_ = false;
};

}  // namespace qel::session
