#include "session/gates/gate_access.h"
#include "session/gates/tag_write.h"

#include <algorithm>
#include <map>

#include "plan/scan_plan.h"
#include "session/diagnosis/hint_policy.h"
#include "session/gates/gate_address.h"
#include "session/line/line_request.h"
#include "session/driver/plan_link.h"
#include "session/stations/station_kind.h"
#include "session/gates/write_value.h"

namespace qel::session {

namespace {

// The most elements one read names: a day's worth of a block read's limit.
constexpr int kMaxCount = 2000;

bool BitGate(const Gate& gate) { return gate.dataType == DATA_TYPE_BIT; }

GateResult Failed(const std::string& gas, GateFailure failure, std::string reason) {
    GateResult result;
    result.gas = gas;
    result.failure = failure;
    result.reason = std::move(reason);
    return result;
}

// The request's outcome; a request the scheduler handed back unrun is a line failure.
Outcome OutcomeOf(const LineRequest& request) {
    return request.outcome.value_or(Outcome{DriverResult::LineFailure, FailureKind::None});
}

}  // namespace

const char* GateFailureKey(GateFailure failure) {
    switch (failure) {
        case GateFailure::None: return "";
        case GateFailure::BadGate: return "bad_gate";
        case GateFailure::BadValue: return "bad_value";
        case GateFailure::NotAllowed: return "not_allowed";
        case GateFailure::StationDown: return "station_down";
        case GateFailure::NoAnswer: return "no_answer";
        case GateFailure::LineError: return "line_error";
    }
    return "";
}

const char* GateFaultKey(GateFault fault) {
    switch (fault) {
        case GateFault::TooLong: return "too_long";
        case GateFault::NoStation: return "no_station";
        case GateFault::StationAbove255: return "station_above_255";
        case GateFault::ForceBlock: return "force_block";
        case GateFault::ForceOnFa2: return "force_on_fa2";
        case GateFault::ForceIsBit: return "force_is_bit";
        case GateFault::AreaMissing: return "area_missing";
        case GateFault::NoArea: return "no_area";
        case GateFault::BadElement: return "bad_element";
        case GateFault::OtherType: return "other_type";
        case GateFault::BlockOnly: return "block_only";
        case GateFault::BlockCount: return "block_count";
        case GateFault::NoBlock: return "no_block";
        case GateFault::OutsideRange: return "outside_range";
    }
    return "";
}

GateFailure FailureOf(const Diagnosis& d) {
    if (d.outcome.ok()) return GateFailure::None;
    if (d.outcome.failure == FailureKind::Down) return GateFailure::StationDown;
    switch (d.hint) {
        case Hint::PresetRange:
        case Hint::ReadOnly:
        case Hint::UnservedRead:
        case Hint::UnknownModel: return GateFailure::BadGate;
        default: break;
    }
    if (d.outcome.result == DriverResult::LineFailure && d.outcome.failure == FailureKind::NoAnswer)
        return GateFailure::NoAnswer;
    return GateFailure::LineError;
}

GateAccess::GateAccess(QelSession& checks, LineScheduler& scheduler, LineFacts facts, std::uint64_t clientBase)
    : checks_(checks), scheduler_(scheduler), facts_(std::move(facts)), nextClient_(clientBase) {}

std::optional<GateDiagnosis> GateAccess::Check(Gate& gate) {
    const std::lock_guard lock(checkMutex_);
    if (checks_.Check(gate) == DriverResult::Done) return std::nullopt;
    return DiagnoseGate(checks_, gate, facts_.models);
}

GateResult GateAccess::Refused(const Gate& gate, GateDiagnosis diagnosis) const {
    GateResult result;
    result.gas = gate.gas;
    result.count = gate.count;
    result.bits = BitGate(gate);
    result.failure = GateFailure::BadGate;
    result.gate = std::move(diagnosis);
    return result;
}

Diagnosis GateAccess::DiagnoseLine(const Gate& gate, const Outcome& outcome, bool write, std::uint16_t value) {
    Diagnosis d;
    d.write = write;
    d.gas = gate.gas;
    d.station = gate.definition.station;
    d.outcome = outcome;
    // The file the models came from, also one the driver found by itself.
    d.modelFile = facts_.modelFile.empty() ? facts_.models.file : facts_.modelFile;
    d.port = facts_.port;
    d.line = facts_.line;
    const bool known = d.station < STATION_COUNT;
    if (known) {
        const std::lock_guard lock(checkMutex_);
        d.model = checks_.StationModel(d.station);
    }
    d.namedAs = StationKindOf(d.model);
    d.namedByOption = known && facts_.models.byOption[d.station];
    d.modelLine = known && !d.namedByOption ? facts_.models.line[d.station] : 0;
    HintFacts facts = FactsOf(write, gate.definition.areaCode, value, outcome, known, d.model);
    if (!write) {
        const std::lock_guard lock(checkMutex_);
        facts.unservedRead = UnservedRead(checks_, gate);
    }
    facts.named = known && facts_.models.named[d.station];
    facts.namedAs = d.namedAs;
    // The line is the scheduler's: no question to the station, the hint
    // from what the outcome and the models tell.
    facts.mayAsk = false;
    d.hint = DecideHint(facts).hint;
    return d;
}

GateResult GateAccess::Read(const std::string& gas, int count, std::uint64_t client) {
    GateResult now;
    std::unique_ptr<GateCall> call = BeginRead(gas, count, now, client);
    if (!call) return now;
    scheduler_.Call(*call);
    return Finish(*call);
}

GateResult GateAccess::Write(const std::string& gas, long long value, const WriteAllowList* allow,
                             std::uint64_t client) {
    GateResult now;
    std::unique_ptr<GateCall> call = BeginWrite(gas, value, allow, now, client);
    if (!call) return now;
    scheduler_.Call(*call);
    return Finish(*call);
}

std::unique_ptr<GateCall> GateAccess::BeginRead(const std::string& gas, int count, GateResult& now,
                                                std::uint64_t client) {
    if (count < 1 || count > kMaxCount) {
        now = Failed(gas, GateFailure::BadGate, "a count is 1 to " + std::to_string(kMaxCount));
        return nullptr;
    }
    Gate first{gas, GuessDataType(gas), 1, {}};
    if (auto refused = Check(first)) {
        now = Refused(first, std::move(*refused));
        return nullptr;
    }
    auto call = std::make_unique<GateCall>();
    call->result.gas = gas;
    call->result.count = count;
    call->result.bits = BitGate(first);

    // The run's elements, each a gate of its own for the planner.
    std::vector<std::string> names;
    if (count == 1) {
        names.push_back(gas);
    } else {
        std::optional<GateAddress> address = GateAddress::Parse(gas);
        if (!address || address->IsForce()) {
            now = Failed(gas, GateFailure::BadGate, "the FORCE gate is one bit: it takes no count");
            return nullptr;
        }
        for (int i = 0; i < count; ++i, *address = address->Next()) names.push_back(address->Format());
    }
    std::optional<plan::Plan> planned;
    {
        const std::lock_guard lock(checkMutex_);
        plan::Run run;
        run.gas = [&names](std::uint32_t i) { return names[i]; };
        run.count = static_cast<std::uint32_t>(count);
        run.dataType = first.dataType;
        planned = plan::PlanRun(run, PlanDriverOf(checks_), PlanOptionsFor(facts_.line));
    }
    if (!planned || planned->transfers.empty()) {
        // Which element the driver refuses: the first one its check turns down.
        for (const std::string& name : names) {
            Gate element{name, first.dataType, 1, {}};
            if (auto refused = Check(element)) {
                now = Refused(element, std::move(*refused));
                now.gas = gas;
                now.count = count;
                return nullptr;
            }
        }
        now = Failed(gas, GateFailure::BadGate,
                     "the driver refuses a read of " + std::to_string(count) + " elements from " + gas);
        return nullptr;
    }
    call->client = client != 0 ? client : NextClient();
    call->station = first.definition.station;
    for (const plan::Transfer& transfer : planned->transfers) call->exchanges.push_back(LineExchange::Read(transfer));
    call->transfers = std::move(planned->transfers);
    call->gate = std::move(first);
    return call;
}

std::unique_ptr<GateCall> GateAccess::BeginWrite(const std::string& gas, long long value,
                                                 const WriteAllowList* allow, GateResult& now, std::uint64_t client) {
    Gate gate{gas, GuessDataType(gas), 1, {}};
    if (auto refused = Check(gate)) {
        now = Refused(gate, std::move(*refused));
        return nullptr;
    }
    now.gas = gas;
    now.bits = BitGate(gate);
    if (std::string why = RefuseValue(gate.definition, gate.dataType, value); !why.empty()) {
        now.failure = GateFailure::BadValue;
        now.reason = gas + " takes no " + std::to_string(value) + ": " + why;
        return nullptr;
    }
    if (allow != nullptr && !allow->Allows(gate.definition)) {
        now.failure = GateFailure::NotAllowed;
        now.reason = "the write allow-list does not hold " + gas;
        return nullptr;
    }
    auto call = std::make_unique<GateCall>();
    call->result = now;
    call->write = true;
    call->word = static_cast<std::uint16_t>(value);
    call->client = client != 0 ? client : NextClient();
    call->station = gate.definition.station;
    call->exchanges.push_back(LineExchange::Write(gate, call->word));
    call->gate = std::move(gate);
    return call;
}

GateResult GateAccess::Finish(GateCall& call) {
    GateResult result = std::move(call.result);
    const Outcome outcome = OutcomeOf(call);
    if (!outcome.ok()) {
        // A tag's words: the value of the write that failed names the fault.
        std::uint16_t word = call.word;
        if (!call.words.empty()) word = call.words[std::min(call.done, call.words.size() - 1)];
        result.line = DiagnoseLine(call.gate, outcome, call.write, word);
        result.failure = FailureOf(*result.line);
        return result;
    }
    if (call.write) {
        result.values = call.words.empty() ? std::vector<std::uint16_t>{call.word} : call.words;
        return result;
    }
    if (call.whole) {
        // One gate planned whole: its slots' values in order, 32-bit words kept together.
        result.values.clear();
        for (std::size_t t = 0; t < call.transfers.size() && t < call.exchanges.size(); ++t)
            for (const plan::GateSlot& slot : call.transfers[t].gates) {
                const std::vector<std::uint16_t> values =
                    plan::GateValues(call.transfers[t], slot, call.exchanges[t].slots);
                result.values.insert(result.values.end(), values.begin(), values.end());
            }
        return result;
    }
    result.values.assign(static_cast<std::size_t>(result.count), 0);
    for (std::size_t t = 0; t < call.transfers.size() && t < call.exchanges.size(); ++t) {
        const plan::Transfer& transfer = call.transfers[t];
        for (const plan::GateSlot& slot : transfer.gates) {
            const std::vector<std::uint16_t> values = plan::GateValues(transfer, slot, call.exchanges[t].slots);
            if (!values.empty() && slot.gate < result.values.size()) result.values[slot.gate] = values.front();
        }
    }
    return result;
}

GateResult GateAccess::WriteWords(const Gate& gate, const std::vector<std::uint16_t>& words, std::uint64_t client) {
    std::unique_ptr<GateCall> call = BeginWriteWords(gate, words, client);
    scheduler_.Call(*call);
    return Finish(*call);
}

std::unique_ptr<GateCall> GateAccess::BeginReadGate(const Gate& gate, GateResult& now, std::uint64_t client) {
    now = GateResult{};
    now.gas = gate.gas;
    now.count = gate.count;
    now.bits = BitGate(gate);
    plan::Plan planned;
    {
        const std::lock_guard lock(checkMutex_);
        const std::vector<plan::GateRequest> requests{{gate.gas, gate.count, gate.dataType}};
        planned = plan::MakePlan(requests, PlanDriverOf(checks_), PlanOptionsFor(facts_.line));
    }
    if (!planned.rejected.empty() || planned.transfers.empty()) {
        Gate checked = gate;
        if (auto refused = Check(checked)) now = Refused(checked, std::move(*refused));
        else now = Failed(gate.gas, GateFailure::BadGate, "the driver refuses a read of " + gate.gas);
        return nullptr;
    }
    auto call = std::make_unique<GateCall>();
    call->result = now;
    call->whole = true;
    call->client = client != 0 ? client : NextClient();
    call->station = planned.transfers.front().station;
    for (const plan::Transfer& transfer : planned.transfers) call->exchanges.push_back(LineExchange::Read(transfer));
    call->transfers = std::move(planned.transfers);
    call->gate = gate;
    return call;
}

std::unique_ptr<GateCall> GateAccess::BeginWriteWords(const Gate& gate, const std::vector<std::uint16_t>& words,
                                                      std::uint64_t client) {
    auto call = std::make_unique<GateCall>();
    call->result.gas = gate.gas;
    call->result.count = static_cast<int>(words.size());
    call->result.bits = BitGate(gate);
    call->write = true;
    call->words = words;
    call->word = words.empty() ? 0 : words.front();
    call->client = client != 0 ? client : NextClient();
    call->station = gate.definition.station;
    call->exchanges = TagWrites(gate, words);
    call->gate = gate;
    return call;
}

std::vector<GateResult> GateAccess::ReadMany(const std::vector<Gate>& gates) {
    std::vector<GateResult> results(gates.size());
    std::vector<plan::GateRequest> requests;
    for (std::size_t i = 0; i < gates.size(); ++i) {
        results[i].gas = gates[i].gas;
        results[i].count = gates[i].count;
        results[i].bits = BitGate(gates[i]);
        requests.push_back({gates[i].gas, gates[i].count, gates[i].dataType});
    }
    plan::Plan planned;
    {
        const std::lock_guard lock(checkMutex_);
        planned = plan::MakePlan(requests, PlanDriverOf(checks_), PlanOptionsFor(facts_.line));
    }
    for (const std::size_t i : planned.rejected) {
        Gate gate = gates[i];
        if (auto refused = Check(gate)) results[i] = Refused(gate, std::move(*refused));
        else results[i] = Failed(gate.gas, GateFailure::BadGate, "the driver refuses a read of " + gate.gas);
    }
    // One request per station, its transfers in the plan's order.
    std::map<std::uint32_t, LineRequest> byStation;
    std::map<std::uint32_t, std::vector<std::size_t>> transfersOf;
    for (std::size_t t = 0; t < planned.transfers.size(); ++t) {
        const plan::Transfer& transfer = planned.transfers[t];
        LineRequest& request = byStation[transfer.station];
        if (request.exchanges.empty()) {
            request.client = NextClient();
            request.station = transfer.station;
        }
        request.exchanges.push_back(LineExchange::Read(transfer));
        transfersOf[transfer.station].push_back(t);
    }
    std::vector<LineRequest*> calls;
    for (auto& [station, request] : byStation) calls.push_back(&request);
    if (!calls.empty()) scheduler_.CallAll(calls);
    for (auto& [station, request] : byStation) {
        const Outcome outcome = OutcomeOf(request);
        const std::vector<std::size_t>& transfers = transfersOf[station];
        for (std::size_t e = 0; e < transfers.size(); ++e) {
            const plan::Transfer& transfer = planned.transfers[transfers[e]];
            // The exchanges before the failed one are done; the rest share the failure.
            const bool done = outcome.ok() || e < request.done;
            for (const plan::GateSlot& slot : transfer.gates) {
                GateResult& result = results[slot.gate];
                if (done) {
                    result.values = plan::GateValues(transfer, slot, request.exchanges[e].slots);
                    continue;
                }
                result.line = DiagnoseLine(gates[slot.gate], outcome, false, 0);
                result.failure = FailureOf(*result.line);
            }
        }
    }
    return results;
}

}  // namespace qel::session
