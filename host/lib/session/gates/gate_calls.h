// Gate reads and writes for a front-end that runs an event loop of its own
// (the HTTP gate API): begun on the loop's thread without waiting, their
// requests queued on the line scheduler into an inbox of their own, and
// collected on the loop's thread when the inbox's wake descriptor is
// readable. No thread waits in Call: the loop waits on the scheduler, as the
// Modbus server does.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "session/gates/gate_access.h"
#include "session/line/line_scheduler.h"

namespace qel::session {

class GateCalls {
public:
    // Both outlive this object.
    GateCalls(GateAccess& access, LineScheduler& scheduler);

    // Begins a read of `count` elements or a write: the result at once when
    // the call needs no line (a bad gate, a value refused), else none, and
    // the result comes from Collect with this tag.
    std::optional<GateResult> Read(std::uint64_t tag, const std::string& gas, int count);
    std::optional<GateResult> Write(std::uint64_t tag, const std::string& gas, long long value,
                                    const WriteAllowList* allow);
    // A call begun elsewhere (a tag's read or write, tag_table.h): the
    // result at once when there is no call, else queued the same way.
    std::optional<GateResult> Submit(std::uint64_t tag, std::unique_ptr<GateCall> call, GateResult now) {
        return Queue(tag, std::move(call), std::move(now));
    }
    // Readable while finished calls wait in Collect.
    int WakeFd() const { return scheduler_.WakeFd(inbox_); }
    // The calls finished since the last Collect, with their tags.
    std::vector<std::pair<std::uint64_t, GateResult>> Collect();

private:
    std::optional<GateResult> Queue(std::uint64_t tag, std::unique_ptr<GateCall> call, GateResult now);

    GateAccess& access_;
    LineScheduler& scheduler_;
    std::size_t inbox_;
};

}  // namespace qel::session
