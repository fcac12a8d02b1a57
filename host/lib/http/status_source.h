// Where the diagnostics endpoints get their numbers: callbacks that take a
// snapshot when a page is asked for, and what does not change while the
// gateway runs. The HTTP side knows nothing of the gateway behind them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "session/line/line_stats.h"
#include "session/gates/trend_history.h"

namespace qel::http {

struct PortSettings {
    std::string name;  // as the user gave it
    unsigned baud = 0;
    unsigned dataBits = 0;
    std::string parity;
    std::string stopBits;
    int timeout = 0;  // the driver's read time-out, 10 ms units
};

struct FrontEndSource {
    std::string name;  // "modbus", "mqtt": the frontend label
    std::function<session::FrontEndStats::Snapshot()> take;
};

// Reloads of the configuration (SIGHUP): applied and refused.
struct ReloadCounts {
    std::uint64_t applied = 0;
    std::uint64_t refused = 0;
};

// The recording of the gate lists' changes (qelgate --record).
struct RecordingCounts {
    std::string file;
    std::uint64_t changes = 0;   // in the file now
    std::uint64_t recorded = 0;  // appended since the start
    std::uint64_t dropped = 0;   // for its bound, since the start
    std::uint64_t lost = 0;      // to a disk that refused them
    bool failing = false;        // the disk refuses them now
};

struct StatusSource {
    // The line scheduler's snapshot; unset while no scheduler counts.
    std::function<session::LineSnapshot()> line;
    std::vector<FrontEndSource> frontEnds;
    std::string version;       // the gateway's
    std::string driverBanner;  // the driver's banner, UTF-8
    PortSettings port;
    double started = 0;  // seconds since the Unix epoch
    // The reloads so far; unset where nothing reloads.
    std::function<ReloadCounts()> reloads;
    // What the recording kept; unset where nothing records.
    std::function<RecordingCounts()> recording;
    // The last hour of answer times and gate values; unset: no charts.
    std::function<session::TrendView(double now)> trends;
    // Seconds since the Unix epoch now; the system clock unless a test sets it.
    std::function<double()> now;
};

// What one request is answered from: the snapshots taken once.
struct StatusView {
    bool hasLine = false;
    session::LineSnapshot line;
    std::vector<std::pair<std::string, session::FrontEndStats::Snapshot>> frontEnds;
    double now = 0;
};
StatusView TakeView(const StatusSource& source);

}  // namespace qel::http
