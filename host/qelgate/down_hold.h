// A station that did not answer is held down for a while: its requests are
// answered at once with "target device failed to respond" instead of costing
// the line the driver's retries again. The next request after the hold tries
// the station again.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace qelgate {

class DownHold {
public:
    explicit DownHold(std::chrono::milliseconds hold) : hold_(hold) {}
    bool IsDown(unsigned station) const;
    // The station failed to answer now: held down from now on.
    void Failed(unsigned station);
    std::chrono::milliseconds Hold() const { return hold_; }

private:
    static std::int64_t Now();
    std::chrono::milliseconds hold_;
    std::array<std::atomic<std::int64_t>, 256> until_{};  // steady-clock ns; read by both threads
};

}  // namespace qelgate
