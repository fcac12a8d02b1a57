// What a reload (SIGHUP) does with each option that changed: applied in
// place, applied by reopening the line, or refused because it takes a
// restart (the Modbus listener and its clients are never closed by a reload).
#pragma once

#include <string>
#include <vector>

#include "gateway/gate_options.h"

namespace qel::gateway {

enum class ReloadKind {
    InPlace,  // the lists, tags, writes, units, client limits, --http, MQTT, log settings
    Reopen,   // the port settings: the line is reopened after the requests begun on it
    Restart,  // the listener, the QEL, the station models, the driver and the scheduler's settings
};

struct OptionChange {
    std::string key;
    ReloadKind kind = ReloadKind::InPlace;
    std::string before;
    std::string after;
};

ReloadKind ReloadKindOf(const std::string& key);

// The options that differ, each with its kind; a port moving to or from a
// line over TCP takes a restart.
std::vector<OptionChange> CompareOptions(const Options& running, const Options& next);

// "listen \"a\" -> \"b\", http ..." for the log.
std::string ChangesText(const std::vector<OptionChange>& changes);

}  // namespace qel::gateway
