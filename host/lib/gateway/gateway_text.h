// What the gateway says in its log about itself: what it serves, what the
// line image and the poll list do, and the line's summary every so often.
#pragma once

#include <atomic>
#include <bitset>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "gateway/gate_options.h"
#include "session/driver/qel_session.h"
#include "session/line/line_poller.h"
#include "session/line/line_scheduler.h"

namespace qel::gateway {

// "serving PORT on LISTEN, read-only, every station FA2" and the like.
std::string ServingText(const Options& o, const std::string& port, const session::QelSession& checks,
                        std::size_t allowed, const std::bitset<256>& units);

// What qelgate --map prints: the Modbus address map, then the publish
// list's tags beside their registers. False with the list's error.
bool MapListing(const Options& o, std::string& text, std::string& error);

// What --max-age and --poll do.
std::string ImageText(const Options& o, const session::LinePoller* poller);

// The line's summary as one log line.
std::string LineSummaryText(const session::LineSnapshot& snapshot);

// Called by the line's thread each turn: the summary every `interval`
// seconds (a reload may change it; 0 stops the lines).
std::function<void()> StatsLogger(const session::LineScheduler& scheduler,
                                  std::shared_ptr<std::atomic<double>> interval, session::ReportSink report);

}  // namespace qel::gateway
