#include "session/gates/gate_calls.h"

namespace qel::session {

GateCalls::GateCalls(GateAccess& access, LineScheduler& scheduler)
    : access_(access), scheduler_(scheduler), inbox_(scheduler.OpenInbox()) {}

std::optional<GateResult> GateCalls::Queue(std::uint64_t tag, std::unique_ptr<GateCall> call, GateResult now) {
    if (!call) return now;
    call->tag = tag;
    call->inbox = inbox_;
    scheduler_.Submit(std::move(call));
    return std::nullopt;
}

std::optional<GateResult> GateCalls::Read(std::uint64_t tag, const std::string& gas, int count) {
    GateResult now;
    std::unique_ptr<GateCall> call = access_.BeginRead(gas, count, now);
    return Queue(tag, std::move(call), std::move(now));
}

std::optional<GateResult> GateCalls::Write(std::uint64_t tag, const std::string& gas, long long value,
                                           const WriteAllowList* allow) {
    GateResult now;
    std::unique_ptr<GateCall> call = access_.BeginWrite(gas, value, allow, now);
    return Queue(tag, std::move(call), std::move(now));
}

std::vector<std::pair<std::uint64_t, GateResult>> GateCalls::Collect() {
    std::vector<std::pair<std::uint64_t, GateResult>> results;
    for (std::unique_ptr<LineRequest>& finished : scheduler_.TakeFinished(inbox_)) {
        auto& call = static_cast<GateCall&>(*finished);
        results.emplace_back(call.tag, access_.Finish(call));
    }
    return results;
}

}  // namespace qel::session
