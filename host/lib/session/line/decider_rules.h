// Small rules the parts of LineDecider share.
#pragma once

#include <algorithm>

#include "session/driver/failure_kind.h"
#include "session/line/line_request.h"

namespace qel::session {

// Anything that came back is an answer: only silence and a dead port are not.
inline bool CameBack(FailureKind failure) {
    return failure != FailureKind::NoAnswer && failure != FailureKind::Port;
}

// Reads only, at least one.
inline bool ReadOnly(const LineRequest& request) {
    return !request.exchanges.empty() &&
           std::none_of(request.exchanges.begin(), request.exchanges.end(),
                        [](const LineExchange& e) { return e.write; });
}

}  // namespace qel::session
