#include "down_hold.h"

namespace qelgate {

std::int64_t DownHold::Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool DownHold::IsDown(unsigned station) const { return station < until_.size() && Now() < until_[station].load(); }

void DownHold::Failed(unsigned station) {
    if (station < until_.size())
        until_[station].store(Now() + std::chrono::duration_cast<std::chrono::nanoseconds>(hold_).count());
}

}  // namespace qelgate
