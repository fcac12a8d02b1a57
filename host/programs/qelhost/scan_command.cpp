// `qelhost scan`: which stations answer a selection, and which model each is.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "commands.h"
#include "interrupt.h"
#include "session/stations/model_directory.h"
#include "output.h"
#include "session/stations/station_probe.h"

namespace qel::qelhost {

namespace {

struct Found {
    unsigned station;
    ProbeAnswer answer;
    int slowMs = 0;  // answered only to a longer wait, after this long
};

const char* NoteOf(ProbeAnswer answer) {
    switch (answer) {
        case ProbeAnswer::FA2: return "answers the FA-2 read";
        case ProbeAnswer::FA3: return "answers the FA-3 read";
        case ProbeAnswer::Unknown: return "answers its selection, but neither read";
        case ProbeAnswer::Garbled: return "answers its selection with a Nak or garbled bytes (line settings?)";
        case ProbeAnswer::Silent: break;
    }
    return "";
}

// A second, longer look at the stations silent to the quick one, for a
// controller slow to turn round: when nothing answered, or when the list is
// this short.
constexpr std::size_t kSlowLookList = 16;

std::string Note(const Found& f, int probeTimeoutMs) {
    std::string note = NoteOf(f.answer);
    if (f.slowMs > 0)
        note += "; slow: it answered after " + std::to_string(f.slowMs) + " ms, more than --probe-timeout " +
                std::to_string(probeTimeoutMs) + ": give --probe-timeout " + std::to_string(ProbeTimeoutFor(f.slowMs));
    return note;
}

std::string Duration(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 60) std::snprintf(text, sizeof text, "%ldm%02lds", s / 60, s % 60);
    else std::snprintf(text, sizeof text, "%lds", s);
    return text;
}

// A progress bar on a terminal; one line per station found otherwise.
class ScanProgress {
public:
    explicit ScanProgress(std::size_t total)
        : total_(total), bar_(StderrIsTerminal()), start_(std::chrono::steady_clock::now()) {}

    void Done(std::size_t done, const std::vector<Found>& found) {
        if (!bar_) {
            if (found.size() > reported_) {
                const Found& last = found.back();
                std::fprintf(stderr, "station %u: %s\n", last.station, ProbeAnswerName(last.answer));
                reported_ = found.size();
            }
            return;
        }
        const double elapsed = Elapsed();
        const double left = done == 0 ? 0.0 : elapsed / static_cast<double>(done) * static_cast<double>(total_ - done);
        constexpr std::size_t width = 30;
        const std::size_t filled = total_ == 0 ? width : done * width / total_;
        std::fprintf(stderr, "\r[%s%s] %zu/%zu stations, %zu found, %s left \x1b[K", std::string(filled, '#').c_str(),
                     std::string(width - filled, '.').c_str(), done, total_, found.size(), Duration(left).c_str());
        std::fflush(stderr);
    }
    void Finish() {
        if (bar_) std::fprintf(stderr, "\r\x1b[K");
    }
    double Elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::size_t total_;
    bool bar_;
    std::chrono::steady_clock::time_point start_;
    std::size_t reported_ = 0;
};

void PrintFound(Format format, const std::vector<Found>& found, int probeTimeoutMs) {
    if (format == Format::Json) {
        nlohmann::json list = nlohmann::json::array();
        for (const Found& f : found) {
            nlohmann::json entry = {
                {"station", f.station}, {"model", ProbeAnswerName(f.answer)}, {"note", Note(f, probeTimeoutMs)}};
            if (f.slowMs > 0) entry["answeredAfterMs"] = f.slowMs;
            list.push_back(entry);
        }
        std::printf("%s\n", list.dump().c_str());
    } else if (format == Format::Csv) {
        std::printf("station,model\n");
        for (const Found& f : found) std::printf("%u,%s\n", f.station, ProbeAnswerName(f.answer));
    } else {
        std::printf("station  model    answer\n");
        for (const Found& f : found)
            std::printf("%7u  %-7s  %s\n", f.station, ProbeAnswerName(f.answer), Note(f, probeTimeoutMs).c_str());
    }
}

bool WriteModels(const std::string& path, const std::vector<Found>& found) {
    StationModels models;
    for (const Found& f : found) {
        if (f.answer != ProbeAnswer::FA2 && f.answer != ProbeAnswer::FA3) continue;
        models.model[f.station] = ProbeAnswerName(f.answer);
        models.named[f.station] = true;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << StationModelText(models);
    return static_cast<bool>(file.flush());
}

}  // namespace

int RunScan(const CommonOptions& common, const ScanOptions& options) {
    Format format{};
    ParseFormat(options.format, format);
    std::vector<unsigned> stations;
    if (!ParseStationList(options.stations, stations)) {
        std::cerr << "qelhost: " << StationListWords("--stations", options.stations) << "\n";
        return kExitUsage;
    }
    const std::string modelsOut = options.writeModels.empty() ? "" : Absolute(options.writeModels);
    HostContext host(Printer());
    if (const OpenResult opened = host.Open(common); opened != OpenResult::Ready) return OpenFailed(host, opened);
    // The probe's reads wait at least as long as its quick look.
    const int timeout = common.timeoutGiven ? common.line.timeout : ProbeReadTimeout(host.line(), common.probeTimeoutMs);
    StationProbe probe = host.MakeProbe(timeout);

    StopOnInterrupt(nullptr, false);
    std::vector<Found> found;
    std::vector<unsigned> silent;
    ScanProgress progress(stations.size());
    std::size_t done = 0;
    progress.Done(0, found);
    const bool quick = !common.driverRetries;
    for (const unsigned station : stations) {
        if (StopAsked()) break;
        // A quick look first; whatever answers it gets the full probe, so
        // that noise on one attempt cannot hide a station.
        const ProbeAnswer answer = quick && !probe.Answers(station, common.probeTimeoutMs) ? ProbeAnswer::Silent
                                                                                          : probe.Probe(station);
        if (answer != ProbeAnswer::Silent) found.push_back({station, answer});
        else silent.push_back(station);
        progress.Done(++done, found);
    }
    // A controller slow to turn round is silent to the quick look: a longer
    // one, and the time it took tells the --probe-timeout that serves it.
    if (quick && !silent.empty() && (found.empty() || stations.size() <= kSlowLookList)) {
        for (const unsigned station : silent) {
            if (StopAsked()) break;
            const std::optional<int> took = probe.AnswerTime(station, kSlowLookMs);
            if (!took) continue;
            const int wanted = ProbeTimeoutFor(*took);
            StationProbe slow = host.MakeProbe(std::max(timeout, (wanted + 9) / 10));
            found.push_back({station, slow.Probe(station), std::max(*took, 1)});
            progress.Done(done, found);
        }
        std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.station < b.station; });
    }
    progress.Finish();
    InterruptsAsBefore();

    PrintFound(format, found, common.probeTimeoutMs);
    std::fflush(stdout);
    std::size_t fa2 = 0, fa3 = 0;
    for (const Found& f : found) {
        fa2 += f.answer == ProbeAnswer::FA2;
        fa3 += f.answer == ProbeAnswer::FA3;
    }
    std::fprintf(stderr,
                 "scanned %zu of %zu stations in %s (one attempt of %d ms each, then read time-out %d0 ms for those "
                 "that answer): %zu answer, %zu FA2, %zu FA3\n",
                 done, stations.size(), Duration(progress.Elapsed()).c_str(), common.probeTimeoutMs, timeout,
                 found.size(), fa2, fa3);
    if (!modelsOut.empty()) {
        if (!WriteModels(modelsOut, found)) {
            std::cerr << "qelhost: cannot write " << options.writeModels << "\n";
            return kExitUsage;
        }
        std::fprintf(stderr, "wrote %zu stations to %s; use it with --models %s\n", fa2 + fa3,
                     options.writeModels.c_str(), options.writeModels.c_str());
        if (found.size() != fa2 + fa3) {
            std::fprintf(stderr, "stations whose model is unknown are left out of it (they stay FA-2)\n");
        }
    }
    int slowest = 0;
    for (const Found& f : found) slowest = std::max(slowest, f.slowMs);
    if (slowest > 0) {
        const int wanted = ProbeTimeoutFor(slowest);
        std::fprintf(stderr, "some stations answer only after up to %d ms: read them with --probe-timeout %d%s\n",
                     slowest, wanted,
                     10 * common.line.timeout < wanted
                         ? (" --timeout " + std::to_string((wanted + 9) / 10)).c_str()
                         : "");
    }
    if (StopAsked()) return 130;
    if (found.empty()) {
        std::cerr << "qelhost: no station answered on " << host.portName() << " (check the wiring and the line "
                  << "settings, --baud and --parity, and that the controllers are on)\n";
        return kExitLine;
    }
    return kExitOk;
}

}  // namespace qel::qelhost
