// What the gateway checks of its options beyond what CLI11 checks of each
// value: the combinations, the units served, the write allow-list, the
// bearer token, and the paths made absolute; and the line settings a reopen
// hands the driver. Each is pure but for the files it reads, so that a start,
// a reload and --check judge alike.
#pragma once

#include <bitset>
#include <string>

#include "gateway/gate_options.h"
#include "session/driver/qel_session.h"
#include "session/gates/write_allow.h"
#include "session/stations/model_file_check.h"
#include "store/store_limits.h"

namespace qel::gateway {

// What the command line alone cannot say wrong; false with a reason.
bool CheckCombination(const Options& o, std::string& error);
// The bound of --record (--record-max; none when not given); false with a reason.
bool RecordLimits(const Options& o, store::StoreLimits& limits, std::string& error);

// The units served: --units, or with --known-units-only the named stations;
// false with a reason.
bool UnitsOf(const Options& o, const session::StationModels& models, std::bitset<256>& units, std::string& error);

// The write allow-list of the options, checked gate by gate; false with a reason.
bool LoadWriteAllow(const Options& o, const session::GateCheck& check, session::WriteAllowList& list,
                    std::string& error);

// The bearer token of --http-token-file: its first line, trimmed, a BOM
// dropped; false with a reason (a file others may write is refused). A
// file every user may read gives a warning, to log.
bool ReadHttpToken(const std::string& path, std::string& token, std::string& warning, std::string& error);

// The MQTT and Sparkplug options completed (the line name, the node); an
// error names where the file gave the keys it comes from.
bool CompletePublishing(const Options& o, mqtt::MqttOptions& m, sparkplug::SparkplugOptions& node, std::string& error);

// The settings a reload's reopen wants: the wanted port settings, the QEL as
// it runs (a new QEL takes a restart), and the port's device (an unchanged
// port the device it was opened on, runningPath). The reopen hands the
// driver a name for it that fits (HostContext::DriverPortFor).
session::LineOptions ReopenSettings(const session::LineOptions& running, const std::string& runningPort,
                                    const std::string& runningPath, const session::LineOptions& wanted);

}  // namespace qel::gateway
