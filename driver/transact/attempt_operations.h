// The one-attempt operations QEL_READ_ATTEMPT and QEL_WRITE_ATTEMPT, for
// hosts that run their own retries (parameter block QelAttempt).
#pragma once

#include <cstdint>

#include "vuzorur.h"

namespace qel {

// One attempt of the read of QEL_READ_BLOCK, with the characters that follow
// BlockData in the block's trailer. The result that attempt would give.
std::int32_t ReadAttemptOperation(const QelRequest* request);

// One attempt of the write of QEL_WRITE, force mode included.
std::int32_t WriteAttemptOperation(const QelRequest* request);

}  // namespace qel
