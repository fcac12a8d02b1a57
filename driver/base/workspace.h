// Access to the records the host hands over with a request.
#pragma once

#include "vuzorur.h"

namespace qel {

inline DriverWorkspace* WorkspaceOf(const QelRequest* request) {
    return static_cast<DriverWorkspace*>(request->workspace);
}

template <typename Block>
Block* ParametersOf(const QelRequest* request) {
    return static_cast<Block*>(request->parameters);
}

}  // namespace qel
