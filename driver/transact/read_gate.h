// The read transaction of QEL_READ and QEL_READ_BLOCK, and the read exchange
// of one attempt that it shares with QEL_READ_ATTEMPT.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/result.h"
#include "base/station_kind.h"
#include "vuzorur.h"

namespace qel {

// Reads the gate of the request's GateTransfer: selects the station when
// needed, sends the request that fits the station's model, checks the echo
// and the reply, and decodes it into the host's value array (touched only on
// success). Five attempts. RESULT_DONE; RESULT_REFUSED a wrong answer or a
// refused transfer; RESULT_LINE_FAILURE a line failure.
std::int32_t ReadGate(const QelRequest* request);

// QEL_READ: the same as ReadGate.
std::int32_t ReadSingle(const QelRequest* request);

// True when the read is refused before any traffic: a station outside the
// table, a count that is no single value and no block, the word outputs and
// the FORCE gate of a station that is not FA2 (they have no read frame).
bool ReadRefused(const DriverWorkspace& workspace, const GateTransfer& transfer);

// The characters that follow BlockData, when the caller wants them.
struct Trailer {
    std::span<std::uint8_t> characters;
    std::size_t length = 0;
};

// The read of one attempt, after the station selection: the request, its
// echo, the reply, and on success the decoding into the host's array. The
// request frame is built in `request`, the reply received into `reply`.
// With a `trailer`, what follows BlockData that arrived in full is taken
// into it (ReceiveTrailer).
Result ReadExchange(DriverWorkspace& workspace, const GateTransfer& transfer, StationKind kind,
                    std::span<std::uint8_t> request, std::span<std::uint8_t> reply, Failure* why,
                    Trailer* trailer = nullptr);

// The longest answer a read attempt waits for, in characters.
std::uint32_t ReadAnswerCharacters(const GateTransfer& transfer);

}  // namespace qel
