// The soak's line: the fasim simulator in this process on a pseudo-terminal,
// and one QEL of the driver (through QelMain, on the real POSIX backend)
// that talks to it.
//
// Unpaced, the simulator sends at once and the driver's waits are compressed:
// its 600 ms pauses between attempts are skipped, and every read time-out it
// sets on the port (the 20 ms purge, the read time-out) is divided by the
// time scale. Paced, the simulator keeps 9600 baud and the driver its own times.
#pragma once

#include <cstdint>
#include <string>

#include "fasim.h"
#include "vuzorur.h"

namespace soak {

struct RigOptions {
    bool paced = false;
    unsigned timeScale = 10;  // unpaced only
    std::int32_t readTimeout = 20;  // the QEL's, in 10 ms units
    std::string logFile = "/dev/null";
};

class SoakRig {
public:
    explicit SoakRig(const RigOptions& options);
    ~SoakRig();
    SoakRig(const SoakRig&) = delete;
    SoakRig& operator=(const SoakRig&) = delete;

    // False with a reason when the simulator or QEL_INIT failed.
    bool Start(std::string& error);
    fasim::Simulator& Sim() { return sim_; }
    std::int32_t Call(std::int32_t operation, void* parameters);
    // The driver's own check of a gate address, as a host defines it
    // (QEL_CHECK_BLOCK when `block`, else QEL_CHECK_GATE): false when it is
    // rejected, else `transfer` holds what the check stored (gas not set).
    bool Define(const std::string& gas, std::int32_t dataType, std::int32_t count, bool block,
                GateTransfer& transfer);
    // The driver's read time-out as the port really applies it, in ms.
    unsigned EffectiveReadTimeoutMs() const;
    std::uint64_t SkippedSleepMs() const;

    // Stations 1 and 3 are FA2, 2 and 4 FA3 (in the station model file).
    static constexpr int kStations[] = {1, 2, 3, 4};
    static bool IsFa3(int station) { return station % 2 == 0; }

private:
    RigOptions options_;
    fasim::Simulator sim_;
    std::string link_;
    DriverWorkspace workspace_{};
    bool started_ = false;
};

}  // namespace soak
