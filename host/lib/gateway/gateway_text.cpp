#include "gateway/gateway_text.h"

#include <chrono>
#include <cstdio>

#include "modbus/address_map.h"
#include "modbus/gateway_log.h"
#include "modbus/tag_map.h"
#include "session/gates/gate_list.h"
#include "session/stations/station_kind.h"

namespace qel::gateway {

std::string ServingText(const Options& o, const std::string& port, const session::QelSession& checks,
                        std::size_t allowed, const std::bitset<256>& units) {
    std::string text = "serving " + port + " on " + o.listen + ", ";
    const bool writes = o.allowWrites || (o.mqtt.writes && !o.mqtt.url.empty());
    const std::string by = o.allowWrites && o.mqtt.writes && !o.mqtt.url.empty() ? " (Modbus and MQTT)"
                           : o.allowWrites                                      ? " (Modbus)"
                                                                                : " (MQTT)";
    text += !writes ? "read-only" : !HasWriteAllow(o) ? "writes allowed" + by
                                                      : std::to_string(allowed) + " gates writable" + by;
    std::string fa3;
    for (unsigned station = 0; station < 256; ++station)
        if (session::StationKindOf(checks.StationModel(station)) != session::StationKind::FA2)
            fa3 += " " + std::to_string(station);
    text += fa3.empty() ? ", every station FA2" : ", FA3 stations:" + fa3 + ", the others FA2";
    if (!units.all()) {
        text += ", units served:";
        for (unsigned unit = 0; unit < units.size(); ++unit)
            if (units.test(unit)) text += " " + std::to_string(unit);
    }
    return text;
}

bool MapListing(const Options& o, std::string& text, std::string& error) {
    text = modbus::MapText();
    if (o.mqtt.publishFile.empty() && o.mqtt.publishLines.empty()) return true;
    // The publish list's tags beside their registers.
    std::vector<session::ListedGate> listed;
    const bool inline_ = o.mqtt.publishFile.empty();
    if (!(inline_ ? session::ParseGateList(o.mqtt.publishLines, o.mqtt.publishOrigin, listed, error)
                  : session::ReadGateList(o.mqtt.publishFile, listed, error)))
        return false;
    text += modbus::TagMapText(listed);
    return true;
}

std::string ImageText(const Options& o, const session::LinePoller* poller) {
    std::string text = o.maxAgeMs > 0 ? "line image: a read is answered from values at most " +
                                            std::to_string(o.maxAgeMs) + " ms old"
                                      : "no line image (--max-age 0): every read goes to the line";
    if (poller) {
        text += "; " + poller->Describe();
        if (o.maxAgeMs > 0 && poller->ShortestPeriod() * 1000 > o.maxAgeMs)
            text += "; note: --max-age is shorter than the poll period, so the polled values are old before the "
                    "next round";
    }
    return text;
}

std::string LineSummaryText(const session::LineSnapshot& snapshot) {
    std::uint64_t attempts = 0, failures = 0;
    std::string down;
    for (const session::StationStats& s : snapshot.stations) {
        attempts += s.attempts;
        for (std::size_t k = 1; k < s.failures.size(); ++k) failures += s.failures[k];
        if (s.state != session::StationState::Up) down += " " + std::to_string(s.station);
    }
    char text[512];
    std::snprintf(text, sizeof text,
                  "line: busy %.0f%% (last minute), %.1f exchanges/s, queue %zu (max %zu), %llu attempts, %llu "
                  "failed, %llu line errors, %llu port reopens, %llu requests shared, %llu from the image, %llu "
                  "exchanges saved, down:",
                  snapshot.line.busyShareMinute * 100, snapshot.line.exchangesPerSecond, snapshot.line.queueDepth,
                  snapshot.line.queueDepthMax, static_cast<unsigned long long>(attempts),
                  static_cast<unsigned long long>(failures),
                  static_cast<unsigned long long>(snapshot.line.lineErrors),
                  static_cast<unsigned long long>(snapshot.line.portReopens),
                  static_cast<unsigned long long>(snapshot.line.sharedRequests),
                  static_cast<unsigned long long>(snapshot.line.imageRequests),
                  static_cast<unsigned long long>(snapshot.line.exchangesSaved));
    return text + (down.empty() ? std::string(" none") : down);
}

std::function<void()> StatsLogger(const session::LineScheduler& scheduler,
                                  std::shared_ptr<std::atomic<double>> interval, session::ReportSink report) {
    auto next = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    return [&scheduler, interval, next, report = std::move(report)] {
        const double seconds = interval->load();
        if (seconds <= 0) return;
        const auto now = std::chrono::steady_clock::now();
        if (now < *next) return;
        *next = now + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
        modbus::Log(report, session::Severity::Info, "%s", LineSummaryText(scheduler.Snapshot()).c_str());
    };
}

}  // namespace qel::gateway
