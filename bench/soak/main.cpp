// vuzorur_soak: runs many mixed reads and writes through QelMain against the
// fasim simulator in this process, with seeded faults of every kind, and
// judges every transaction against the simulator's memory. See
// docs/reliability.md.
#include <CLI/CLI.hpp>

#include <chrono>
#include <iostream>
#include <sstream>
#include <thread>

#include "fault_plan.h"
#include "soak_rig.h"
#include "tally.h"
#include "trailer_soak.h"
#include "workload.h"

namespace {

using soak::FaultKind;
using soak::TransferKind;

// Bytes the controller's side sends back in one attempt: echoes and answers.
std::size_t BytesPerAttempt(const soak::Transaction& t) {
    const std::size_t echoes = 6 + 4 + (soak::IsWrite(t.kind) ? 21 : 15);
    const auto count = static_cast<std::size_t>(t.count);
    const bool bit = t.area == "IO" || t.area == "IR" || t.area == "IM" || t.area == "SR";
    switch (t.kind) {
        case TransferKind::Fa2Word: case TransferKind::Fa2Bit: case TransferKind::Fa2Bit8: return echoes + 8;
        case TransferKind::Fa2WriteWord: case TransferKind::Fa2WriteBit: return echoes + 4;
        case TransferKind::Fa3WriteWord: case TransferKind::Fa3WriteBit: return echoes + 8;
        default: return echoes + 7 + (bit ? 2 * ((count + 7) / 8) : 4 * count);
    }
}

std::uint64_t Mix(std::uint64_t seed, std::uint64_t n) {
    std::uint64_t z = seed + 0x9E3779B97F4A7C15ull * (n + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

struct Run {
    soak::SoakRig& rig;
    soak::Workload& work;
    soak::Tally& tally;
    std::uint64_t seed;
    unsigned lateMs;

    void One(FaultKind kind, std::uint64_t index, soak::Transaction t) {
        rig.Sim().SetFaults(soak::SettingsFor(kind, Mix(seed, index), BytesPerAttempt(t), lateMs));
        const soak::Result r = work.Run(t);
        const auto events = rig.Sim().TakeFaultEvents();
        rig.Sim().SetFaults({});
        const soak::Judgement j = kind == FaultKind::Outage ? soak::Judgement::Detectable : soak::Judge(events);
        Record(kind, t, r, j, events);
        // A late answer still on its way would land in the next transaction.
        if (kind == FaultKind::Late && !events.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(lateMs));
    }

    void Record(FaultKind kind, const soak::Transaction& t, const soak::Result& r, soak::Judgement j,
                const std::vector<fasim::FaultEvent>& events) {
        tally.Add(kind, t.kind, r, j);
        if (r.outcome != soak::Outcome::Corrupted && !r.overrun) return;
        std::ostringstream line;
        line << soak::Name(kind) << ", "
             << soak::Name(t.kind) << ": " << (r.overrun ? "wrote past the host's array; " : "") << r.detail;
        for (const auto& e : events) line << "\n      " << soak::Describe(e);
        tally.Note(line.str(), r.overrun || j != soak::Judgement::Undetectable);
    }

    void Outage(std::uint64_t index) {
        const int station = soak::SoakRig::kStations[Mix(seed, index) % 4];
        const std::string st = std::to_string(station);
        rig.Sim().Execute("silent " + st + " on");
        soak::Transaction during = work.NextFor(station);
        const soak::Result r = work.Run(during);
        rig.Sim().Execute("silent " + st + " off");
        Record(FaultKind::Outage, during, r, soak::Judgement::Detectable, {});
        soak::Transaction after = work.NextFor(station);
        rig.Sim().ClearTrace();
        const soak::Result back = work.Run(after);
        Record(FaultKind::Outage, after, back, soak::Judgement::Detectable, {});
        // The first frame of the next transaction must select the station
        // again: a controller that missed its selection is not selected.
        bool selected = false;
        for (const fasim::TraceRecord& frame : rig.Sim().Trace())
            if (frame.fromMaster) {
                selected = !frame.bytes.empty() && frame.bytes[0] == '`';
                break;
            }
        tally.AddRecovery(back.outcome == soak::Outcome::Ok ? soak::Recovery::Healed
                          : selected                        ? soak::Recovery::SelectedButFailed
                                                            : soak::Recovery::NotSelected);
        if (back.outcome != soak::Outcome::Ok)
            tally.Note("after the outage of station " + st + ", " + after.gas + " gave rc " + std::to_string(back.rc) +
                           (selected ? " although its first frame selected the station again"
                                     : "; its first frame did not select the station"),
                       !selected);
    }
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Soak of the driver against the simulator with seeded line faults; exits 1 when a fault that the "
                 "driver can detect still produced a wrong value, the transaction after an outage did not select "
                 "the station again, or a transfer wrote past the host's array."};
    std::uint64_t transactions = 10000;
    std::uint64_t seed = 1;
    bool paced = false;
    unsigned timeScale = 10;
    std::vector<std::string> faultNames;
    std::string logFile = "/dev/null";
    bool progress = false;
    std::int32_t readTimeout = 20;
    app.add_option("-n,--transactions", transactions, "number of transactions (default 10000)");
    app.add_option("--seed", seed, "seed of the workload and of the faults (default 1)");
    app.add_flag("--paced", paced, "simulator at 9600 baud and the driver's own waits (default: unpaced, compressed)");
    app.add_option("--time-scale", timeScale, "unpaced: divide the driver's read time-outs by this (default 10)")
        ->check(CLI::Range(1u, 1000u));
    app.add_option("--faults", faultNames,
                   "fault kinds, comma-separated: none, corrupt-random, corrupt-nul, drop, insert, nak, late, outage "
                   "(default all)")
        ->delimiter(',');
    app.add_option("--read-timeout", readTimeout, "the QEL's read time-out in 10 ms units (default 20)")
        ->check(CLI::Range(1, 1000));
    app.add_option("--log", logFile, "where the driver's messages go (default /dev/null)");
    app.add_flag("--progress", progress, "report progress on stderr");
    bool trailerMode = false;
    soak::TrailerSoakOptions trailerOptions;
    app.add_flag("--trailers", trailerMode,
                 "instead: block reads through QEL_READ_ATTEMPT judged by the host's block trailers, one fault kind at "
                 "a time (drop, insert, corrupt-random); -n reads per kind");
    app.add_option("--rate", trailerOptions.rate, "--trailers: faults per reply byte (default 0.002)")
        ->check(CLI::Range(0.0, 0.1));
    app.add_option("--attempts", trailerOptions.attempts, "--trailers: attempts per read (default 5)")
        ->check(CLI::Range(1, 20));
    CLI11_PARSE(app, argc, argv);

    std::vector<FaultKind> kinds;
    for (const auto& name : faultNames) {
        FaultKind k{};
        if (!soak::ParseFaultKind(name, k)) {
            std::cerr << "unknown fault kind '" << name << "'\n";
            return 64;
        }
        kinds.push_back(k);
    }
    if (kinds.empty())
        for (int k = 0; k < static_cast<int>(FaultKind::Count); ++k) kinds.push_back(static_cast<FaultKind>(k));
    // An outage takes two transactions and five read time-outs: it comes a
    // quarter as often as each other kind.
    std::vector<FaultKind> wheel;
    for (FaultKind k : kinds) wheel.insert(wheel.end(), k == FaultKind::Outage && kinds.size() > 1 ? 1 : 4, k);

    soak::RigOptions options;
    options.paced = paced;
    options.timeScale = timeScale;
    options.logFile = logFile;
    options.readTimeout = readTimeout;
    soak::SoakRig rig(options);
    std::string error;
    if (!rig.Start(error)) {
        std::cerr << "cannot start: " << error << "\n";
        return 2;
    }
    if (trailerMode) {
        trailerOptions.reads = transactions;
        trailerOptions.seed = seed;
        const auto begun = std::chrono::steady_clock::now();
        const bool met = soak::RunTrailerSoak(rig, trailerOptions, std::cout);
        std::cout << std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count() << " s, "
                  << (met ? "goals met" : "FAILED: more wrong values served than the goal") << "\n";
        return met ? 0 : 1;
    }
    soak::Workload work(rig, seed);
    if (!work.Prepare(error)) {
        std::cerr << "cannot prepare the workload: " << error << "\n";
        return 2;
    }
    rig.Sim().RecordFaults(true);
    soak::Tally tally;
    Run run{rig, work, tally, seed, 2 * rig.EffectiveReadTimeoutMs() + 5};

    const auto start = std::chrono::steady_clock::now();
    std::uint64_t done = 0;
    std::uint64_t nextReport = transactions / 10;
    for (std::uint64_t i = 0; done < transactions; ++i) {
        const FaultKind kind = wheel[Mix(seed ^ 0x5eed, i) % wheel.size()];
        if (kind == FaultKind::Outage) {
            run.Outage(i);
            done += 2;
        } else {
            run.One(kind, i, work.Next());
            ++done;
        }
        if (progress && done >= nextReport) {
            std::cerr << done << " transactions\n";
            nextReport += transactions / 10;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::cout << "vuzorur soak: " << done << " transactions, seed " << seed << ", "
              << (paced ? "paced" : "unpaced (time scale 1/" + std::to_string(timeScale) + ")") << ", "
              << seconds << " s\n\n";
    tally.Print(std::cout);
    const bool bad = tally.Violations();
    std::cout << "\n" << (bad ? "FAILED: a detectable fault reached the host, a station was not selected again after "
                                "an outage, or a transfer wrote past the host's array"
                              : "passed: no detectable fault reached the host")
              << "\n";
    return bad ? 1 : 0;
}
