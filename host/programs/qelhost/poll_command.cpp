// `qelhost poll`: read a list of gates round after round until interrupted.
// The scan planner turns the list into the fewest exchanges the line allows;
// every gate is still shown on its own, whatever exchange read it.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "commands.h"
#include "session/gates/gate_list.h"
#include "session/stations/model_directory.h"
#include "output.h"
#include "session/driver/plan_link.h"
#include "plan/scan_plan.h"
#include "station_table.h"
#include "watch_table.h"

namespace qel::qelhost {

namespace {

std::atomic<bool> stopRequested{false};

// The first Ctrl-C lets the exchange in progress end, then the summary is
// printed; a second one ends the program at once.
extern "C" void RequestStop(int) {
    if (stopRequested.exchange(true)) std::_Exit(130);
    static const char note[] = "\nqelhost: stopping after the read in progress (Ctrl-C again to quit at once)\n";
#if defined(_WIN32)
    _write(2, note, sizeof note - 1);
#else
    [[maybe_unused]] const auto written = write(2, note, sizeof note - 1);
#endif
    std::signal(SIGINT, RequestStop);  // some platforms reset the handler
}

bool StdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

struct GateRecord {
    long reads = 0;
    long failures = 0;
    long retries = 0;
    DriverResult lastResult = DriverResult::Done;
    bool down = false;
    std::vector<std::uint16_t> lastValues;
};

void PrintSummary(const std::vector<Gate>& gates, const std::vector<GateRecord>& records,
                  const plan::Plan& plan, std::chrono::steady_clock::duration busy, long reads,
                  double scanMs, long rounds) {
    long failures = 0;
    for (const GateRecord& r : records) failures += r.failures;
    const double meanMs =
        reads == 0 ? 0.0 : std::chrono::duration<double, std::milli>(busy).count() / static_cast<double>(reads);
    std::fprintf(stderr, "poll summary: %ld reads, %ld failures, mean %.1f ms per read\n", reads, failures, meanMs);
    std::fprintf(stderr, "scan: %zu exchanges for %zu gates; ", plan.transfers.size(), gates.size());
    if (rounds > 0) std::fprintf(stderr, "measured %.1f ms per scan (mean of %ld), ", scanMs / static_cast<double>(rounds), rounds);
    else std::fprintf(stderr, "no complete scan measured, ");
    std::fprintf(stderr, "predicted %.1f ms\n", plan.scanMs);
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
    if (!ReadGateList(Absolute(options.gatesFile), gates, error, &periodRefused)) {
        std::cerr << "qelhost: " << error << (periodRefused ? " (periods and tags are for qelgate --publish)" : "") << "\n";
        return kExitUsage;
    }
    HostContext host(Printer());
    CommonOptions opening = common;
    if (options.planOnly) opening.line.port.clear();  // the plan sends nothing: no port is opened
    if (const OpenResult opened = host.Open(opening); opened != OpenResult::Ready) return OpenFailed(host, opened);
    for (Gate& gate : gates) {
        if (!GateChecked(host, gate)) return kExitRefused;
    }

    std::vector<plan::GateRequest> requests;
    for (const Gate& gate : gates) requests.push_back({gate.gas, gate.count, gate.dataType});
    QelSession& session = host.session();  // the plan's checks; the reads go through the line scheduler
    const plan::Driver driver = PlanDriverOf(session);
    plan::PlanOptions planOptions = PlanOptionsFor(common.line);
    planOptions.merge = !options.noMerge;
    const plan::Plan plan = plan::MakePlan(requests, driver, planOptions);
    if (options.planOnly) {
        std::printf("%s", plan::PlanText(plan, requests).c_str());
        return kExitOk;
    }

    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
    WatchTable watch(StdoutIsTerminal());
    if (!options.watch) {
        if (const std::string header = HeaderLine(format, true); !header.empty()) std::printf("%s\n", header.c_str());
        std::fflush(stdout);
    }

    std::vector<GateRecord> records(gates.size());
    long reads = 0;
    long rounds = 0;
    double scanMs = 0;
    std::chrono::steady_clock::duration busy{};
    for (long round = 0; !stopRequested.load() && (options.rounds == 0 || round < options.rounds); ++round) {
        const auto roundStart = std::chrono::steady_clock::now();
        bool complete = true;
        // Lines go out in the order of the list, each as soon as every gate
        // before it has been read in this round.
        std::vector<std::optional<Reading>> pending(gates.size());
        std::size_t next = 0;
        auto printReady = [&](bool all) {
            for (; next < pending.size(); ++next) {
                if (!pending[next]) {
                    if (all) continue;
                    break;
                }
                std::printf("%s\n", FormatReading(format, *pending[next]).c_str());
            }
            std::fflush(stdout);
        };
        // The round's exchanges go to the line scheduler together, each its
        // own client: a station that does not answer costs the others nothing.
        std::vector<LineRequest> exchanges(plan.transfers.size());
        std::vector<LineRequest*> calls;
        for (std::size_t t = 0; t < plan.transfers.size(); ++t) {
            const plan::Transfer& transfer = plan.transfers[t];
            exchanges[t].client = t;
            exchanges[t].station = transfer.station;
            exchanges[t].exchanges.push_back(LineExchange::Read(transfer));
            calls.push_back(&exchanges[t]);
        }
        const auto start = std::chrono::steady_clock::now();
        if (!stopRequested.load()) host.scheduler().CallAll(calls);
        else complete = false;
        busy += std::chrono::steady_clock::now() - start;
        const std::string time = Timestamp();
        for (std::size_t t = 0; t < plan.transfers.size() && complete; ++t) {
            const plan::Transfer& transfer = plan.transfers[t];
            const LineRequest& request = exchanges[t];
            const LineExchange& exchange = request.exchanges.front();
            // Not run (never so here: nothing stops the scheduler mid-round) would be a line failure.
            const DriverResult result = request.outcome ? request.outcome->result : DriverResult::LineFailure;
            // The attempts beyond the first, the driver's own among them (--driver-retries).
            const int retries = std::max(0, exchange.attempts - 1);
            const bool down = request.failure() == FailureKind::Down;
            for (const plan::GateSlot& slot : transfer.gates) {
                GateRecord& gate = records[slot.gate];
                ++reads;
                ++gate.reads;
                gate.retries += retries;
                gate.lastResult = result;
                gate.down = down;
                if (result != DriverResult::Done) ++gate.failures;
                gate.lastValues = result == DriverResult::Done ? plan::GateValues(transfer, slot, exchange.slots)
                                                               : std::vector<std::uint16_t>{};
                if (options.watch) continue;
                Reading reading;
                reading.time = time;
                reading.gas = gates[slot.gate].gas;
                reading.bits = gates[slot.gate].dataType == DATA_TYPE_BIT;
                reading.result = result;
                reading.down = down;
                reading.values = gate.lastValues;
                pending[slot.gate] = std::move(reading);
            }
        }
        if (!options.watch) printReady(true);
        if (complete) {
            ++rounds;
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
                          Timestamp().c_str(), rounds > 0 ? scanMs / static_cast<double>(rounds) : 0.0, plan.scanMs);
            watch.Draw(heading, rows, options.stats ? StationTable(host.scheduler().Snapshot()) : std::string());
        }
        if (options.rounds != 0 && round + 1 >= options.rounds) break;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.intervalMs);
        while (!stopRequested.load() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    PrintSummary(gates, records, plan, busy, reads, scanMs, rounds);
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
