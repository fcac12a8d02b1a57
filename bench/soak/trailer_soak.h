// The soak's trailer mode: block reads through QEL_READ_ATTEMPT, each
// retried by the host while the host's BlockTrailers rejects its trailer,
// against the simulator with one kind of byte fault at a time, and the
// count of wrong values that were served as good.
#pragma once

#include <cstdint>
#include <ostream>

#include "soak_rig.h"

namespace soak {

struct TrailerSoakOptions {
    std::uint64_t reads = 1000;  // per fault kind
    std::uint64_t seed = 1;
    double rate = 0.002;         // per byte the simulator sends back, echoes excluded
    int attempts = 5;            // per read
    int fewestWords = 20, mostWords = MAX_BLOCK_COUNT;
};

// Runs the reads and prints the table; false when a fault kind served more
// wrong values under a learned rule than its goal (drop and insert none,
// random 1 per 1000 reads). Reads served while a station learned are
// counted apart.
bool RunTrailerSoak(SoakRig& rig, const TrailerSoakOptions& options, std::ostream& out);

}  // namespace soak
