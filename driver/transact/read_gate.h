// The read transaction of QEL_READ and QEL_READ_BLOCK.
#pragma once

#include <cstdint>

#include "base/result.h"
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

}  // namespace qel
