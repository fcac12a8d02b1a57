#include "session/twin/snapshot_reader.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace qel::session {

namespace {

// The client of the snapshot's requests: one client, so they run in order.
constexpr std::uint64_t kSnapshotClient = 1;

}  // namespace

std::optional<int> TurnaroundFrom(std::vector<double> extraMs) {
    if (extraMs.empty()) return std::nullopt;
    const auto middle = extraMs.begin() + static_cast<std::ptrdiff_t>(extraMs.size() / 2);
    std::nth_element(extraMs.begin(), middle, extraMs.end());
    if (!(*middle > 0)) return 0;
    return static_cast<int>(std::lround(*middle));
}

LineTwin ReadSnapshot(LineScheduler& scheduler, const SnapshotPlan& plan, const SnapshotRun& run) {
    LineTwin twin;
    std::map<unsigned, std::vector<double>> extras;
    std::map<unsigned, std::size_t> stationIndex;
    for (const auto& [station, model] : run.models) {
        stationIndex[station] = twin.stations.size();
        twin.stations.push_back({station, model, std::nullopt, {}});
    }
    const std::vector<plan::Transfer>& transfers = plan.plan.transfers;
    double leftMs = 0;
    for (const plan::Transfer& transfer : transfers) leftMs += transfer.exchangeMs;
    std::size_t done = 0;
    bool stopped = false;
    for (const plan::Transfer& transfer : transfers) {
        stopped = stopped || (run.stopped && run.stopped());
        LineRequest request;
        request.client = kSnapshotClient;
        request.station = transfer.station;
        request.fromLine = true;
        request.exchanges.push_back(LineExchange::Read(transfer));
        request.exchanges.back().Aim();
        double tookMs = 0;
        if (!stopped) {
            const auto start = std::chrono::steady_clock::now();
            scheduler.Call(request);
            tookMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        }
        auto at = stationIndex.find(transfer.station);
        if (at == stationIndex.end()) {
            at = stationIndex.emplace(transfer.station, twin.stations.size()).first;
            twin.stations.push_back({transfer.station, std::string(), std::nullopt, {}});
        }
        StationTwin& station = twin.stations[at->second];
        if (request.ok()) {
            const LineExchange& exchange = request.exchanges.front();
            for (const plan::GateSlot& slot : transfer.gates) {
                const std::vector<std::uint16_t> values = plan::GateValues(transfer, slot, exchange.slots);
                if (!values.empty()) twin.values[plan.elements[slot.gate]] = values.front();
            }
            extras[transfer.station].push_back(tookMs - exchange.cost);
        } else {
            station.missing[transfer.areaCode] += transfer.gates.size();
        }
        ++done;
        leftMs -= transfer.exchangeMs;
        if (run.progress) run.progress({done, transfers.size(), leftMs > 0 ? leftMs : 0});
    }
    for (StationTwin& station : twin.stations) station.turnaroundMs = TurnaroundFrom(extras[station.station]);
    return twin;
}

}  // namespace qel::session
