// `qelhost poll`: read a list of gates round after round until interrupted.
// The scan planner turns the list into the fewest exchanges the line allows;
// every gate is still shown on its own, whatever exchange read it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <thread>

#include "commands.h"
#include "interrupt.h"
#include "session/gates/gate_list.h"
#include "session/gates/gate_rounds.h"
#include "session/stations/model_directory.h"
#include "output.h"
#include "session/driver/plan_link.h"
#include "plan/scan_plan.h"
#include "station_table.h"
#include "watch_table.h"

namespace qel::qelhost {

namespace {

struct GateRecord {
    long reads = 0;
    long failures = 0;
    long retries = 0;
    DriverResult lastResult = DriverResult::Done;
    bool down = false;
    std::vector<std::uint16_t> lastValues;
};

// What the planner made of the list: its exchanges and their predicted time.
struct ScanFigures {
    std::size_t exchanges = 0;
    double predictedMs = 0;
};

void PrintSummary(const std::vector<Gate>& gates, const std::vector<GateRecord>& records,
                  const ScanFigures& plan, std::chrono::steady_clock::duration busy, long reads,
                  double scanMs, long rounds) {
    long failures = 0;
    for (const GateRecord& r : records) failures += r.failures;
    const double meanMs =
        reads == 0 ? 0.0 : std::chrono::duration<double, std::milli>(busy).count() / static_cast<double>(reads);
    std::fprintf(stderr, "poll summary: %ld reads, %ld failures, mean %.1f ms per read\n", reads, failures, meanMs);
    std::fprintf(stderr, "scan: %zu exchanges for %zu gates; ", plan.exchanges, gates.size());
    if (rounds > 0) std::fprintf(stderr, "measured %.1f ms per scan (mean of %ld), ", scanMs / static_cast<double>(rounds), rounds);
    else std::fprintf(stderr, "no complete scan measured, ");
    std::fprintf(stderr, "predicted %.1f ms\n", plan.predictedMs);
    bool any = false;
    for (std::size_t i = 0; i < gates.size(); ++i) {
        const GateRecord& r = records[i];
        if (r.retries == 0 && r.failures == 0) continue;
        if (!any) std::fprintf(stderr, "%-11s %6s %9s %8s %12s\n", "gate", "reads", "failures", "retries", "last result");
        any = true;
        std::fprintf(stderr, "%-11s %6ld %9ld %8ld %12d\n", gates[i].gas.c_str(), r.reads, r.failures, r.retries,
                     ResultNumber(r.lastResult));
    }
    std::fprintf(stderr, any ? "every other gate: no retries, no failures\n" : "retries: none for any gate\n");
}

}  // namespace

int RunPoll(const CommonOptions& common, const PollOptions& options) {
    Format format{};
    ParseFormat(options.format, format);
    std::vector<Gate> gates;
    std::string error;
    bool periodRefused = false;
    std::vector<unsigned> lines;
    const std::string listPath = Absolute(options.gatesFile);
    if (!ReadGateList(listPath, gates, error, &periodRefused, &lines)) {
        std::cerr << "qelhost: " << error << (periodRefused ? " (periods and tags are for qelgate --publish)" : "") << "\n";
        return kExitUsage;
    }
    HostContext host(Printer());
    CommonOptions opening = common;
    if (options.planOnly) opening.line.port.clear();  // the plan sends nothing: no port is opened
    if (const OpenResult opened = host.Open(opening); opened != OpenResult::Ready) return OpenFailed(host, opened);
    // A gate refused gets the words qelhost check gives it, at its line.
    for (std::size_t i = 0; i < gates.size(); ++i) {
        if (!GateChecked(host, gates[i], listPath + ":" + std::to_string(lines[i]) + ": "))
            return kExitRefused;
    }

    QelSession& session = host.session();  // the plan's checks; the reads go through the line scheduler
    const plan::Driver driver = PlanDriverOf(session);
    plan::PlanOptions planOptions = PlanOptionsFor(common.line);
    planOptions.merge = !options.noMerge;
    if (options.planOnly) {
        std::vector<plan::GateRequest> requests;
        for (const Gate& gate : gates) requests.push_back({gate.gas, gate.count, gate.dataType});
        std::printf("%s", plan::PlanText(plan::MakePlan(requests, driver, planOptions), requests).c_str());
        return kExitOk;
    }
    // The rounds as every publisher reads its list: the planner's exchanges,
    // all of a round to the line scheduler together, each its own client, so
    // that a station that does not answer costs the others nothing.
    GateRounds rounds(host.scheduler(), 0);
    rounds.ClientEach();
    if (!rounds.Prepare(gates, 0, driver, planOptions, error)) {
        std::cerr << "qelhost: " << error << "\n";
        return kExitRefused;
    }
    const ScanFigures figures{rounds.Exchanges(), rounds.PredictedMs()};

    // The first Ctrl-C lets the exchange in progress end, then the summary
    // is printed; a second one ends the program at once.
    StopOnInterrupt("\nqelhost: stopping after the read in progress (Ctrl-C again to quit at once)\n", true);
    WatchTable watch(StdoutIsTerminal());
    if (!options.watch) {
        if (const std::string header = HeaderLine(format, true); !header.empty()) std::printf("%s\n", header.c_str());
        std::fflush(stdout);
    }

    std::vector<GateRecord> records(gates.size());
    long reads = 0;
    long complete = 0;
    double scanMs = 0;
    std::chrono::steady_clock::duration busy{};
    for (long round = 0; !StopAsked() && (options.rounds == 0 || round < options.rounds); ++round) {
        const auto roundStart = std::chrono::steady_clock::now();
        std::vector<std::size_t> readNow;
        LineSnapshot line;
        rounds.Start(roundStart);
        if (!StopAsked()) rounds.RunDue(readNow, line);
        busy += std::chrono::steady_clock::now() - roundStart;
        const std::string time = Timestamp();
        // Lines go out in the order of the list.
        std::vector<std::optional<Reading>> pending(gates.size());
        for (const std::size_t i : readNow) {
            const GateReading& reading = rounds.Gates()[i];
            GateRecord& gate = records[i];
            // The attempts beyond the first, the driver's own among them (--driver-retries).
            const int retries = std::max(0, reading.attempts - 1);
            const bool down = reading.failure == FailureKind::Down;
            ++reads;
            ++gate.reads;
            gate.retries += retries;
            gate.lastResult = reading.result;
            gate.down = down;
            if (reading.result != DriverResult::Done) ++gate.failures;
            gate.lastValues = reading.result == DriverResult::Done && reading.lastGood ? *reading.lastGood
                                                                                      : std::vector<std::uint16_t>{};
            if (options.watch) continue;
            Reading out;
            out.time = time;
            out.gas = gates[i].gas;
            out.bits = gates[i].dataType == DATA_TYPE_BIT;
            out.result = reading.result;
            out.down = down;
            out.values = gate.lastValues;
            pending[i] = std::move(out);
        }
        if (!options.watch) {
            for (const auto& reading : pending)
                if (reading) std::printf("%s\n", FormatReading(format, *reading).c_str());
            std::fflush(stdout);
        }
        if (!readNow.empty()) {
            ++complete;
            scanMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - roundStart).count();
        }
        if (options.watch) {
            std::vector<WatchRow> rows;
            for (std::size_t i = 0; i < gates.size(); ++i) {
                rows.push_back({gates[i].gas, gates[i].dataType == DATA_TYPE_BIT, records[i].lastResult,
                                static_cast<int>(records[i].retries), records[i].down, records[i].lastValues});
            }
            char heading[128];
            std::snprintf(heading, sizeof heading, "round %ld  %s  scan %.1f ms (predicted %.1f ms)", round + 1,
                          Timestamp().c_str(), complete > 0 ? scanMs / static_cast<double>(complete) : 0.0,
                          figures.predictedMs);
            watch.Draw(heading, rows, options.stats ? StationTable(host.scheduler().Snapshot()) : std::string());
        }
        if (options.rounds != 0 && round + 1 >= options.rounds) break;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.intervalMs);
        while (!StopAsked() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    PrintSummary(gates, records, figures, busy, reads, scanMs, complete);
    if (options.stats) std::fprintf(stderr, "%s", StationTable(host.scheduler().Snapshot()).c_str());

    // The last result of each gate decides: a line failure before a refusal.
    int worst = kExitOk;
    for (const GateRecord& r : records) {
        const int code = ExitCode(r.lastResult);
        if (code == kExitLine) worst = kExitLine;
        else if (code != kExitOk && worst == kExitOk) worst = kExitRefused;
    }
    return worst;
}

}  // namespace qel::qelhost
