// `qelhost record`: read a gate list in rounds, as the publishers read
// theirs, and keep every change with its time in a recording (SQLite) that
// fasim --replay plays back; `--export csv` prints a recording's changes.
// The recording shares the rounds' reads: it is handed their values by the
// line scheduler, and adds no exchange.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <thread>

#include "commands.h"
#include "interrupt.h"
#include "plan/scan_plan.h"
#include "record/recorder.h"
#include "record/recording_reader.h"
#include "record/recording_writer.h"
#include "session/driver/plan_link.h"
#include "session/gates/gate_address.h"
#include "session/gates/gate_rounds.h"
#include "session/stations/model_directory.h"
#include "store/store_opening.h"

namespace qel::qelhost {

namespace {

std::int64_t NowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::string IsoMillis(std::int64_t millis) {
    const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    char full[48];
    std::snprintf(full, sizeof full, "%s.%03dZ", text, static_cast<int>(millis % 1000));
    return full;
}

int RunRecordExport(const RecordOptions& options) {
    if (options.exportFormat != "csv") {
        std::cerr << "qelhost: record --export knows csv only\n";
        return kExitUsage;
    }
    record::Recording recording;
    std::string error;
    if (!record::ReadRecording(options.outFile, recording, error)) {
        std::cerr << "qelhost: " << error << "\n";
        return kExitUsage;
    }
    std::printf("time,station,gate,area,number,value\n");
    for (const record::Change& change : recording.changes) {
        const GateAddress gate{change.station, change.area, change.number};
        std::printf("%s,%u,%s,%s,%u,%u\n", IsoMillis(change.millis).c_str(), change.station, gate.Format().c_str(),
                    change.area.c_str(), change.number, static_cast<unsigned>(change.value));
    }
    std::fflush(stdout);
    return kExitOk;
}

int RunRecord(const CommonOptions& common, const RecordOptions& options) {
    store::StoreLimits limits;
    std::string error;
    if (!options.max.empty() && !store::ParseStoreLimits(options.max, limits, error)) {
        std::cerr << "qelhost: --max " << options.max << ": " << error << "\n";
        return kExitUsage;
    }
    // Before the session opens: it works in a folder of its own.
    const std::string path = Absolute(options.outFile);
    const std::string gatesFile = Absolute(options.gatesFile);
    HostContext host(Printer());
    if (const OpenResult opened = host.Open(common); opened != OpenResult::Ready) return OpenFailed(host, opened);

    GateRounds rounds(host.scheduler(), 0);
    rounds.ClientEach();
    GateListSource source;
    source.file = gatesFile;
    source.period = options.period;
    const GateCheck check = [&host](Gate& gate) { return GateChecked(host, gate); };
    const GateRounds::Accept any = [](std::size_t, const ListedGate&, std::string&) { return true; };
    if (!rounds.Prepare(source, check, any, PlanDriverOf(host.session()), PlanOptionsFor(common.line), error)) {
        std::cerr << "qelhost: " << error << "\n";
        return kExitRefused;
    }

    // The list is read and checked first: a list in error leaves no file behind.
    record::RecordingWriter writer;
    const store::StoreOpening opening =
        store::OpenSettingAside(path, std::time(nullptr), [&](std::string& why, bool& damaged) {
            const bool ok = writer.Open(path, limits, why);
            damaged = !ok && writer.Damaged();
            return ok;
        });
    if (opening.outcome == store::StoreOpening::Outcome::Unusable) {
        std::cerr << "qelhost: " << opening.error << "\n";
        return kExitUsage;
    }
    if (opening.outcome == store::StoreOpening::Outcome::Renewed)
        std::cerr << "qelhost: " << opening.error << ": set aside as " << opening.setAside
                  << "; a new recording begun\n";

    record::Recorder recorder(writer);
    host.scheduler().onRoundValues = [&recorder](const std::vector<RoundValue>& values) {
        std::vector<record::Change> read;
        read.reserve(values.size());
        for (const RoundValue& v : values) read.push_back({v.millis, v.station, v.area, v.number, v.value});
        if (const std::string line = recorder.Note(read, NowMillis()); !line.empty())
            std::cerr << "qelhost: " << line << "\n";
    };

    StopOnInterrupt("\nqelhost: ending the recording after the round in progress (Ctrl-C again to quit at once)\n",
                    true);
    std::fprintf(stderr, "qelhost: recording %zu gates (%zu exchanges a round) into %s (%s); Ctrl-C ends\n",
                 rounds.Gates().size(), rounds.Exchanges(), path.c_str(), store::DescribeStoreLimits(limits).c_str());
    long roundsRun = 0;
    rounds.Start(GateRounds::Clock::now());
    while (!StopAsked()) {
        const auto next = rounds.NextDue(GateRounds::Clock::now() + std::chrono::milliseconds(100));
        while (!StopAsked() && GateRounds::Clock::now() < next)
            std::this_thread::sleep_for(std::min<GateRounds::Clock::duration>(std::chrono::milliseconds(10),
                                                                               next - GateRounds::Clock::now()));
        if (StopAsked()) break;
        std::vector<std::size_t> read;
        LineSnapshot line;
        if (rounds.RunDue(read, line)) ++roundsRun;
        if (options.rounds != 0 && roundsRun >= options.rounds) break;
    }
    host.scheduler().onRoundValues = nullptr;
    std::string ignored;
    writer.Mark(NowMillis(), ignored);  // the recording ends now, not at the last second it noted
    const record::RecorderCounts counts = recorder.Counts();
    writer.Close();
    std::fprintf(stderr,
                 "record summary: %ld rounds, %llu changes recorded, %llu dropped for the bound, %llu lost to the "
                 "disk; %s holds %llu changes\n",
                 roundsRun, static_cast<unsigned long long>(counts.recorded),
                 static_cast<unsigned long long>(counts.file.dropped), static_cast<unsigned long long>(counts.lost),
                 path.c_str(), static_cast<unsigned long long>(counts.file.changes));
    return counts.lost > 0 ? kExitRefused : kExitOk;
}

}  // namespace qel::qelhost
