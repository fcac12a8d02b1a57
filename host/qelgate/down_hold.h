// Whether a station is held down: the line scheduler's health as the server
// sees it. A station that stopped answering is answered at once with
// "target device failed to respond" until a background probe finds it
// answering again (line_scheduler.h has the rules).
#pragma once

#include "line_scheduler.h"

namespace qelgate {

class DownHold {
public:
    explicit DownHold(const qelhost::LineScheduler& line) : line_(line) {}
    bool IsDown(unsigned station) const { return line_.StationDown(station); }

private:
    const qelhost::LineScheduler& line_;
};

}  // namespace qelgate
