// `qelhost snapshot`: every value of every station of a line, read in the
// planner's fewest exchanges, written as a fasim configuration and memory
// file that play the line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>

#include "commands.h"
#include "interrupt.h"
#include "session/driver/plan_link.h"
#include "session/stations/model_directory.h"
#include "session/stations/station_option.h"
#include "session/stations/station_probe.h"
#include "session/twin/snapshot_reader.h"
#include "session/twin/twin_files.h"
#include "session/twin/whole_file.h"

namespace qel::qelhost {

namespace {

namespace fs = std::filesystem;

std::string Seconds(double ms) {
    const long s = static_cast<long>(ms / 1000.0 + 0.5);
    char text[32];
    if (s >= 60) std::snprintf(text, sizeof text, "%ldm%02lds", s / 60, s % 60);
    else std::snprintf(text, sizeof text, "%lds", s);
    return text;
}

// A bar with the time left on a terminal; nothing otherwise (a log or a
// pipe gets the summary only).
class Bar {
public:
    Bar() : on_(StderrIsTerminal()) {}
    void Show(const std::string& what, std::size_t done, std::size_t total, const std::string& tail) {
        if (!on_) return;
        constexpr std::size_t width = 30;
        const std::size_t filled = total == 0 ? width : done * width / total;
        std::fprintf(stderr, "\r[%s%s] %zu/%zu %s%s \x1b[K", std::string(filled, '#').c_str(),
                     std::string(width - filled, '.').c_str(), done, total, what.c_str(), tail.c_str());
        std::fflush(stderr);
    }
    void Clear() {
        if (on_) std::fprintf(stderr, "\r\x1b[K");
    }

private:
    bool on_;
};

// The stations to read and their models: those the user named a model for
// as named, the others as a probe finds them. Stations that do not answer,
// or answer as neither model, are left out (the unknown ones with a word).
std::map<unsigned, std::string> FindStations(HostContext& host, const CommonOptions& common,
                                             const std::vector<unsigned>& candidates, bool listed) {
    std::map<unsigned, std::string> found;
    const int timeout = common.timeoutGiven ? common.line.timeout : ProbeReadTimeout(host.line(), common.probeTimeoutMs);
    StationProbe probe = host.MakeProbe(timeout);
    Bar bar;
    std::size_t done = 0;
    for (const unsigned station : candidates) {
        if (StopAsked()) break;
        bar.Show("stations probed", done++, candidates.size(), ", " + std::to_string(found.size()) + " found");
        if (listed && host.models().named[station]) {
            found[station] = host.models().model[station];
            continue;
        }
        const ProbeAnswer answer = !common.driverRetries && !probe.Answers(station, common.probeTimeoutMs)
                                       ? ProbeAnswer::Silent
                                       : probe.Probe(station);
        if (answer == ProbeAnswer::FA2 || answer == ProbeAnswer::FA3) {
            found[station] = ProbeAnswerName(answer);
        } else if (answer != ProbeAnswer::Silent) {
            std::cerr << "qelhost: station " << station << " " << ProbeAnswerName(answer)
                      << ": it answers its selection but neither model's read; left out of the snapshot\n";
        } else if (listed) {
            std::cerr << "qelhost: station " << station << " does not answer; left out of the snapshot\n";
        }
    }
    bar.Clear();
    return found;
}

std::string Origin(const HostContext& host, const CommonOptions& common) {
    const std::time_t now = std::time(nullptr);
    char when[32] = "";
    if (const std::tm* utc = std::gmtime(&now)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M UTC", utc);
    return "qelhost snapshot of " + host.portName() + " at " + std::to_string(common.line.baud) + " baud, " + when;
}

std::string MissingWords(const StationTwin& station) {
    std::string text;
    for (const auto& [area, count] : station.missing) {
        if (!text.empty()) text += ", ";
        text += AreaMnemonic(area) + " (" + std::to_string(count) + ")";
    }
    return text;
}

// The folder ready to take the files: made when absent; refused when it
// exists unless --force; tried with a file of its own so that an unwritable
// folder is known before the line is read.
bool FolderReady(const fs::path& dir, const std::string& named, bool force) {
    std::error_code code;
    if (fs::exists(dir, code)) {
        if (!force) {
            std::cerr << "qelhost: " << named << " exists; give --force to write the snapshot into it (its "
                      << kTwinConfigFile << ", " << kTwinMemoryFile << " and " << kTwinModelFile << " are replaced), or name a new folder\n";
            return false;
        }
        if (!fs::is_directory(dir, code)) {
            std::cerr << "qelhost: " << named << " is not a folder\n";
            return false;
        }
    } else if (!fs::create_directories(dir, code)) {
        std::cerr << "qelhost: cannot make the folder " << named << ": " << code.message() << "\n";
        return false;
    }
    std::string error;
    const fs::path probe = dir / ".qelhost-snapshot-check";
    if (!WriteWholeFile(probe.string(), "", error)) {
        std::cerr << "qelhost: cannot write into " << named << ": " << error << "\n";
        return false;
    }
    fs::remove(probe, code);
    return true;
}

}  // namespace

int RunSnapshot(const CommonOptions& common, const SnapshotOptions& options) {
    const bool listed = !options.stations.empty();
    std::vector<unsigned> candidates;
    if (!ParseStationList(listed ? options.stations : "0-255", candidates)) {
        std::cerr << "qelhost: " << StationListWords("--stations", options.stations) << "\n";
        return kExitUsage;
    }
    const fs::path dir = Absolute(options.out);
    if (!FolderReady(dir, options.out, options.force)) return kExitUsage;

    // The scheduler's news (a block trailer learned, a station's health) is
    // for -v: the snapshot says what became of each station itself.
    const ReportSink withoutInfos = [](Severity severity, const std::string& text) {
        if (severity != Severity::Info) Printer()(severity, text);
    };
    HostContext host(common.verbose ? Printer() : withoutInfos);
    if (const OpenResult opened = host.Open(common); opened != OpenResult::Ready) return OpenFailed(host, opened);
    StopOnInterrupt(nullptr, false);
    const std::map<unsigned, std::string> models = FindStations(host, common, candidates, listed);
    if (StopAsked()) {
        std::cerr << "qelhost: snapshot stopped while looking for the stations; nothing written\n";
        return 130;
    }
    if (models.empty()) {
        std::cerr << "qelhost: no station answered on " << host.portName() << " (check the wiring and the line "
                  << "settings, --baud and --parity, and that the controllers are on); nothing written\n";
        return kExitLine;
    }
    StationModels served = host.models();
    std::vector<unsigned> stations;
    for (const auto& [station, model] : models) {
        served.model[station] = model;
        served.named[station] = true;
        stations.push_back(station);
    }
    if (host.Reopen(served, common.line.timeout) != DriverResult::Done) {
        std::cerr << "qelhost: cannot open the line again with the models found\n";
        return kExitLine;
    }
    const SnapshotPlan plan = PlanSnapshot(stations, PlanDriverOf(host.session()), PlanOptionsFor(common.line));
    std::fprintf(stderr, "snapshot of %zu station%s: %zu exchanges, predicted %s at %u baud\n", stations.size(),
                 stations.size() == 1 ? "" : "s", plan.plan.transfers.size(), Seconds(plan.predictedMs).c_str(),
                 common.line.baud);

    Bar bar;
    SnapshotRun run;
    run.models = models;
    run.stopped = [] { return StopAsked(); };
    run.progress = [&bar](const SnapshotProgress& p) {
        bar.Show("exchanges", p.done, p.total, ", " + Seconds(p.leftMs) + " left");
    };
    const auto start = std::chrono::steady_clock::now();
    const LineTwin twin = ReadSnapshot(host.scheduler(), plan, run);
    const double tookMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    host.StopScheduler();
    bar.Clear();
    InterruptsAsBefore();
    if (StopAsked()) {
        std::cerr << "qelhost: snapshot stopped; nothing written\n";
        return 130;
    }

    std::printf("station  model  turnaround  values  not read\n");
    for (const StationTwin& station : twin.stations) {
        std::size_t values = 0;
        for (const auto& [key, value] : twin.values) values += key.station == station.station;
        const std::string turnaround = station.turnaroundMs ? std::to_string(*station.turnaroundMs) + " ms" : "-";
        std::printf("%7u  %-5s  %10s  %6zu  %s\n", station.station, station.model.c_str(), turnaround.c_str(), values,
                    station.complete() ? "-" : MissingWords(station).c_str());
    }
    std::fflush(stdout);
    std::fprintf(stderr, "read %zu values in %zu exchanges in %.1f s (predicted %.1f s)\n", twin.values.size(),
                 plan.plan.transfers.size(), tookMs / 1000.0, plan.predictedMs / 1000.0);

    // The memory file first: a configuration is never there without the
    // memory it names.
    std::string error;
    const fs::path memory = dir / kTwinMemoryFile;
    const fs::path config = dir / kTwinConfigFile;
    const fs::path modelFile = dir / kTwinModelFile;
    StationModels found;
    for (const auto& [station, model] : models) {
        found.model[station] = model;
        found.named[station] = true;
    }
    if (!WriteWholeFile(memory.string(), MemoryFileText(twin), error) ||
        !WriteWholeFile(modelFile.string(), StationModelText(found), error) ||
        !WriteWholeFile(config.string(), FasimConfigText(twin, host.line(), Origin(host, common)), error)) {
        std::cerr << "qelhost: " << error << "; the snapshot is not written\n";
        return kExitUsage;
    }
    std::fprintf(stderr,
                 "wrote %s, %s and %s; play the line with: fasim --config %s --link PATH, and read it with "
                 "--models %s\n",
                 config.string().c_str(), memory.string().c_str(), modelFile.string().c_str(),
                 config.string().c_str(), modelFile.string().c_str());
    if (!twin.complete()) {
        for (const StationTwin& station : twin.stations) {
            if (station.complete()) continue;
            // A station named by its model but never answering is not one that fell silent.
            const bool anything = std::any_of(twin.values.begin(), twin.values.end(),
                                              [&](const auto& value) { return value.first.station == station.station; });
            std::cerr << "qelhost: station " << station.station
                      << (anything ? " fell silent during the snapshot: " : " did not answer the snapshot's reads: ")
                      << MissingWords(station) << " not read; those elements are absent from " << kTwinMemoryFile
                      << " (fasim serves them as 0)\n";
        }
        std::cerr << "qelhost: the snapshot is incomplete\n";
        return kExitLine;
    }
    return kExitOk;
}

}  // namespace qel::qelhost
