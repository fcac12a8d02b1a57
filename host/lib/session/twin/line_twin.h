// What a snapshot found on a line: each station's model and turnaround, the
// values read, and what could not be read. Nothing here is a guess: an
// element not read has no value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "session/twin/snapshot_plan.h"

namespace qel::session {

struct StationTwin {
    unsigned station = 0;
    std::string model;                // "FA2" or "FA3"
    std::optional<int> turnaroundMs;  // as measured; none when nothing of it was read
    // Areas with elements that were not read: how many of them.
    std::map<std::uint32_t, std::size_t> missing;
    bool complete() const { return missing.empty(); }
};

struct LineTwin {
    std::vector<StationTwin> stations;  // in station order
    std::map<ElementKey, std::uint16_t> values;
    bool complete() const;
};

// The area's mnemonic as a gate address writes it: "TM" .. "SR"; "IR" for
// IR and IM alike.
std::string AreaMnemonic(std::uint32_t areaCode);

}  // namespace qel::session
