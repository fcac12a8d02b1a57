// --record: the gateway's recording, fed by the line scheduler's round
// observer with what the gate lists' rounds read anyway (the poll list, the
// publish list, the Sparkplug node's), so that it adds no exchange.
#include <chrono>
#include <ctime>

#include "gateway/gateway_parts.h"
#include "gateway/option_checks.h"
#include "modbus/gateway_log.h"
#include "store/store_opening.h"

namespace qel::gateway {

using modbus::Log;

namespace {

std::int64_t NowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool StartRecording(GatewayParts& p, std::string& error) {
    store::StoreLimits limits;
    if (!RecordLimits(p.o, limits, error)) return false;
    const std::string& path = p.o.recordFile;
    const store::StoreOpening opening =
        store::OpenSettingAside(path, std::time(nullptr), [&](std::string& why, bool& damaged) {
            const bool opened = p.recording.Open(path, limits, why);
            damaged = !opened && p.recording.Damaged();
            return opened;
        });
    if (opening.outcome == store::StoreOpening::Outcome::Unusable) {
        error = "--record: " + opening.error + KeyOrigins(p.o, {"record"});
        return false;
    }
    if (opening.outcome == store::StoreOpening::Outcome::Renewed)
        Log(p.report, session::Severity::Warning, "%s: set aside as %s; a new recording begun", opening.error.c_str(),
            opening.setAside.c_str());
    p.recorder = std::make_unique<record::Recorder>(p.recording);
    p.scheduler->onRoundValues = [&recorder = *p.recorder, sink = p.report](const std::vector<session::RoundValue>& values) {
        std::vector<record::Change> read;
        read.reserve(values.size());
        for (const session::RoundValue& v : values) read.push_back({v.millis, v.station, v.area, v.number, v.value});
        if (const std::string line = recorder.Note(read, NowMillis()); !line.empty())
            Log(sink, session::Severity::Warning, "%s", line.c_str());
    };
    Log(p.report, session::Severity::Info, "recording the changes the gate lists read into %s (%s)", path.c_str(),
        store::DescribeStoreLimits(limits).c_str());
    return true;
}

std::string RecordingSummary(GatewayParts& p) {
    // The recording ends now, not at the last second it noted.
    std::string error;
    p.recording.Mark(NowMillis(), error);
    const record::RecorderCounts counts = p.recorder->Counts();
    return "recording " + p.o.recordFile + ": " + std::to_string(counts.recorded) + " changes recorded, " +
           std::to_string(counts.file.dropped) + " dropped for its bound, " + std::to_string(counts.lost) +
           " lost to the disk; it holds " + std::to_string(counts.file.changes);
}

}  // namespace qel::gateway
