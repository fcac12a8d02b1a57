#include "session/gates/gate_rounds.h"

#include <algorithm>
#include <map>
#include <set>

#include "session/gates/gate_address.h"

namespace qel::session {

namespace {

std::int64_t NowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string ListedAt(const std::string& origin, const ListedGate& entry) {
    return entry.line > 0 ? origin + ":" + std::to_string(entry.line) + ": " : origin + ": ";
}

std::string QualityKey(const GateReading& reading) {
    switch (reading.quality) {
    case GateQuality::Good: return "good";
    case GateQuality::Unverified: return "unverified";
    case GateQuality::Failed: break;
    }
    return reading.failure != FailureKind::None ? FailureKindKey(reading.failure) : "failed";
}

bool CheckListedGate(ListedGate& entry, const GateCheck& check, const std::string& origin, std::string& error) {
    if (!check(entry.gate)) {
        error = ListedAt(origin, entry) + check.Refusal(entry.gate);
        return false;
    }
    if (entry.spec.Words() != 2) return true;
    // The block check looks at a block's first element only: each word of
    // a 32-bit value is checked as a gate of its own, so that no value
    // takes its second word from past the area's end or from a hole.
    auto address = GateAddress::Parse(entry.gate.gas);
    for (int word = 1; address && word < entry.gate.count; ++word) {
        address = address->Next();
        Gate single;
        single.gas = address->Format();
        single.dataType = entry.gate.dataType;
        if (!check(single)) {
            error = ListedAt(origin, entry) + entry.gate.gas + " type=" +
                    TagTypeName(entry.spec.type) + " reads " + std::to_string(entry.gate.count) + " words from " +
                    entry.gate.gas + ", and " + single.gas + " is past the last element of its area; a 32-bit type "
                    "takes two elements, so it starts at least one element before the area's end";
            return false;
        }
    }
    return true;
}

GateRounds::GateRounds(LineScheduler& line, std::uint64_t client) : line_(line), client_(client) {}

bool GateRounds::Prepare(const GateListSource& source, const GateCheck& check, const Accept& accept,
                         const plan::Driver& planDriver, const plan::PlanOptions& planOptions, std::string& error) {
    Clear();
    std::vector<ListedGate> listed;
    const bool inline_ = source.file.empty();
    origin_ = inline_ ? source.origin : source.file;
    if (inline_ ? !ParseGateList(source.lines, origin_, listed, error) : !ReadGateList(source.file, listed, error))
        return false;
    std::map<double, std::vector<std::size_t>> byPeriod;
    for (ListedGate& entry : listed) {
        if (!CheckListedGate(entry, check, origin_, error)) return false;
        if (!accept(gates_.size(), entry, error)) return false;
        byPeriod[entry.period > 0 ? entry.period : source.period].push_back(gates_.size());
        GateReading reading;
        reading.gate = entry.gate;
        reading.tag = entry.tag;
        reading.spec = entry.spec;
        reading.line = entry.line;
        reading.block = entry.gate.count > static_cast<int>(entry.spec.Words());
        gates_.push_back(std::move(reading));
    }
    return PlanGroups(byPeriod, planDriver, planOptions, error);
}

bool GateRounds::Prepare(const std::vector<Gate>& gates, double period, const plan::Driver& planDriver,
                         const plan::PlanOptions& planOptions, std::string& error) {
    Clear();
    std::map<double, std::vector<std::size_t>> byPeriod;
    for (const Gate& gate : gates) {
        byPeriod[period].push_back(gates_.size());
        GateReading reading;
        reading.gate = gate;
        reading.block = gate.count > 1;
        gates_.push_back(std::move(reading));
    }
    return PlanGroups(byPeriod, planDriver, planOptions, error);
}

bool GateRounds::PlanGroups(const std::map<double, std::vector<std::size_t>>& byPeriod,
                            const plan::Driver& planDriver, const plan::PlanOptions& planOptions,
                            std::string& error) {
    groupOf_.assign(gates_.size(), 0);
    for (const auto& [period, members] : byPeriod) {
        std::vector<plan::GateRequest> requests;
        for (const std::size_t i : members) requests.push_back({gates_[i].gate.gas, gates_[i].gate.count, gates_[i].gate.dataType});
        plan::Plan plan = plan::MakePlan(requests, planDriver, planOptions);
        if (!plan.rejected.empty()) {
            error = origin_ + ": the planner cannot read " + requests[plan.rejected.front()].gas;
            return false;
        }
        Group group;
        group.period = std::chrono::duration<double>(period);
        group.predictedMs = plan.scanMs;
        for (plan::Transfer& transfer : plan.transfers) {
            for (plan::GateSlot& slot : transfer.gates) {
                slot.gate = members[slot.gate];
                groupOf_[slot.gate] = groups_.size();
                gates_[slot.gate].exchange = group.transfers.size();
            }
            group.transfers.push_back(std::move(transfer));
        }
        groups_.push_back(std::move(group));
    }
    return true;
}

std::size_t GateRounds::Exchanges() const {
    std::size_t exchanges = 0;
    for (const Group& group : groups_) exchanges += group.transfers.size();
    return exchanges;
}

double GateRounds::PredictedMs() const {
    double ms = 0;
    for (const Group& group : groups_) ms += group.predictedMs;
    return ms;
}

std::vector<double> GateRounds::Periods() const {
    std::vector<double> periods;
    for (const Group& group : groups_) periods.push_back(group.period.count());
    return periods;
}

void GateRounds::Clear() {
    origin_.clear();
    gates_.clear();
    groupOf_.clear();
    groups_.clear();
}

void GateRounds::Start(Clock::time_point now) {
    for (Group& group : groups_) group.due = now;
}

GateRounds::Clock::time_point GateRounds::NextDue(Clock::time_point limit) const {
    for (const Group& group : groups_) limit = std::min(limit, group.due);
    return limit;
}

void GateRounds::ReadSoon(std::size_t gate) { groups_[groupOf_[gate]].due = Clock::now(); }

std::vector<RoundValue> GateRounds::RoundValues(const std::vector<std::size_t>& read, std::int64_t millis) const {
    std::vector<RoundValue> values;
    for (const std::size_t index : read) {
        const GateReading& gate = gates_[index];
        if (gate.quality == GateQuality::Failed || !gate.lastGood) continue;
        std::optional<GateAddress> address = GateAddress::Parse(gate.gate.gas);
        if (!address || address->IsForce()) continue;
        const bool bits = address->Bits();
        for (const std::uint16_t value : *gate.lastGood) {
            values.push_back({address->station, address->area, address->element, value, millis});
            address->element = NextNumber(address->element, bits);
        }
    }
    return values;
}

bool GateRounds::RunDue(std::vector<std::size_t>& read, LineSnapshot& line) {
    read.clear();
    const Clock::time_point start = Clock::now();
    std::vector<Group*> due;
    std::size_t total = 0;
    for (Group& group : groups_)
        if (group.due <= start) {
            due.push_back(&group);
            total += group.transfers.size();
        }
    if (due.empty()) return false;
    std::vector<LineRequest> requests(total);
    std::vector<LineRequest*> calls;
    std::vector<const plan::Transfer*> transfers;
    for (const Group* group : due)
        for (const plan::Transfer& transfer : group->transfers) {
            LineRequest& request = requests[calls.size()];
            request.client = clientEach_ ? client_ + calls.size() : client_;
            request.station = transfer.station;
            // Stamped with the time of the round: from the line, never the
            // image (it may join a read already queued for it).
            request.fromLine = true;
            request.exchanges.push_back(LineExchange::Read(transfer));
            calls.push_back(&request);
            transfers.push_back(&transfer);
        }
    line_.CallAll(calls);
    const std::int64_t millis = NowMillis();
    line = line_.Snapshot();
    std::set<unsigned> unverified;
    for (const StationStats& s : line.stations)
        if (s.blockCheck == BlockCheck::Unverified) unverified.insert(s.station);
    for (std::size_t t = 0; t < calls.size(); ++t) {
        const plan::Transfer& transfer = *transfers[t];
        const LineRequest& request = *calls[t];
        for (const plan::GateSlot& slot : transfer.gates) {
            GateReading& gate = gates_[slot.gate];
            const GateQuality quality = gate.quality;
            bool changed = !gate.read;
            gate.result = request.outcome ? request.outcome->result : DriverResult::LineFailure;
            gate.attempts = request.exchanges.front().attempts;
            if (request.ok()) {
                std::vector<std::uint16_t> values = plan::GateValues(transfer, slot, request.exchanges.front().slots);
                changed = changed || gate.lastGood != values;
                gate.lastGood = std::move(values);
                gate.quality = transfer.count > 1 && unverified.count(transfer.station) ? GateQuality::Unverified
                                                                                          : GateQuality::Good;
                gate.failure = FailureKind::None;
            } else {
                gate.quality = GateQuality::Failed;
                gate.failure = request.failure();
            }
            gate.changed = changed || quality != gate.quality;
            if (gate.changed) gate.changedMillis = millis;
            gate.millis = millis;
            gate.read = true;
            read.push_back(slot.gate);
        }
    }
    if (line_.onRoundValues) line_.onRoundValues(RoundValues(read, millis));
    const Clock::time_point now = Clock::now();
    for (Group* group : due) {
        group->due += std::chrono::duration_cast<Clock::duration>(group->period);
        if (group->due < now) group->due = now;  // a round longer than the period: the next at once
    }
    return true;
}

}  // namespace qel::session
