// Splits the elements a Modbus read asks for into the fewest driver reads.
// Which blocks are possible is the driver's to say: every block is put to its
// block check (QEL_CHECK_BLOCK) and every element to its gate check, and a
// block is only used when each element it covers is legal on its own.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "qel_session.h"

namespace qelgate {

// One driver read: a checked gate (a block when its count is above 1) and
// the requested elements it answers, first to first + covered - 1, which
// sit in its value slots 0 to covered - 1.
struct DriverRead {
    qelhost::Gate gate;
    unsigned first = 0;
    unsigned covered = 0;
};

// The driver's checks: true when it accepts the gate (and stored its definition).
using GateCheck = std::function<bool(qelhost::Gate&)>;

// "001DR0010": a station, an area mnemonic, a written element number.
std::string GateAddress(unsigned station, const char* mnemonic, unsigned number);

// The written number that follows n in its area: bit areas skip the bit
// digits 8 and 9 (IO 7 is followed by IO 10).
unsigned NextNumber(unsigned n, bool bits);

// The driver reads for `count` elements from written number `first`, or
// nullopt when one of them is illegal for the station.
std::optional<std::vector<DriverRead>> SplitRead(const GateCheck& check, unsigned station, const char* mnemonic,
                                                 unsigned first, unsigned count, bool bits);

}  // namespace qelgate
