// The faults the soak injects, one kind per transaction, and the judgement of
// every fault the simulator reports: could the driver have noticed it?
//
// Detectable: any fault on an echo, on an Ack or Nak, or on a checksummed
// ElementReply (one fault per reply: the checksum covers its data), a NUL or
// any other byte that is not a digit in the data, a Nak, a late reply and an
// outage. Undetectable: a byte of BlockData turned into another digit, a digit
// inserted into it or one of its bytes dropped (the controller's checksum
// digits behind the data then slide in): the protocol has no checksum that
// the driver reads over BlockData.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fasim.h"

namespace soak {

enum class FaultKind { None, CorruptRandom, CorruptNul, Drop, Insert, Nak, Late, Outage, Count };
const char* Name(FaultKind kind);
// "corrupt-random", ... as on the command line; false for an unknown name.
bool ParseFaultKind(const std::string& name, FaultKind& out);

// Settings that make a fault of this kind likely in a transaction whose
// attempt moves about `bytesPerAttempt` bytes back from the controller.
fasim::FaultSettings SettingsFor(FaultKind kind, std::uint64_t seed, std::size_t bytesPerAttempt, unsigned lateMs);

enum class Judgement { Clean, Detectable, Undetectable };
Judgement Judge(const std::vector<fasim::FaultEvent>& events);
// One line about an event, for the report of a corrupted transaction.
std::string Describe(const fasim::FaultEvent& event);

}  // namespace soak
