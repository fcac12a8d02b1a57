// A test rig for the transactions end to end: one QEL driven through QelMain,
// its port on a pseudo-terminal that the fasim controller simulator serves.
// Each rig has its own simulator, link path, workspace and log capture.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fasim.h"
#include "support/log_capture.h"
#include "vuzorur.h"

namespace e2e {

using fasim::Model;
using testsupport::LogLine;

// What slots hold before a transfer, so that tests can tell which ones the
// driver wrote.
inline constexpr std::uint16_t kUntouched = 0xA5A5;
inline constexpr int kLogInfo = 32;
inline constexpr int kLogProtocol = 8;

// The stations of the default RigSetup: station 1 is an FA2 controller,
// station 2 an FA3 controller (named in the station model file).
inline constexpr int kFa2 = 1;
inline constexpr int kFa3 = 2;

// Frames as the simulator received them, or as a test expects them.
using Frames = std::vector<std::string>;

// A gate as the host keeps it: what its check stored, and its value array.
struct Gate {
    std::string gas;
    bool nullGas = false;  // pass no address text at all
    std::int32_t checkResult = -1;
    GateTransfer transfer{};
    std::vector<std::uint16_t> values;  // count slots (at least 2) and 4 guard slots

    std::uint16_t Slot(std::size_t i) const { return values.at(i); }
    void ResetSlots();  // every slot back to kUntouched
};

struct RigSetup {
    std::map<int, Model> stations{{1, Model::FA2}, {2, Model::FA3}};
    // The QEL's station model file as the driver reads it at QEL_INIT;
    // empty: no file, every station is FA2 to the driver.
    std::string modelFile = "002FA3\n";
    // Read time-out in 10-ms units. QEL_INIT keeps at least 100, so a smaller
    // one is applied afterwards with QEL_CLOSE_PORT and QEL_RECONFIGURE.
    std::int32_t readTimeout = 20;
    fasim::FaultSettings faults{};
    bool paced = false;
    unsigned turnaroundMs = 0;
};

class Rig {
public:
    explicit Rig(RigSetup setup = {});
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bool Ready() const { return ready_; }
    fasim::Simulator& Sim() { return sim_; }
    DriverWorkspace& Workspace() { return workspace_; }
    testsupport::LogCapture& Log() { return log_; }
    const std::string& LinkPath() const { return link_; }
    // By value: the field sits unaligned in the packed workspace.
    std::uint16_t LastStation() const { return workspace_.lastStation; }

    std::int32_t Call(std::int32_t operation, void* parameters);

    // Runs the driver's own check on the address (QEL_CHECK_GATE, or
    // QEL_CHECK_BLOCK for a block gate or when `block` is set) and keeps what
    // it stored. A rejected address is reported as a test failure.
    Gate Define(const std::string& gas, std::int32_t dataType, std::int32_t count = 1, bool block = false);

    std::int32_t Read(Gate& gate);                         // QEL_READ_BLOCK
    std::int32_t ReadSingle(Gate& gate);                   // QEL_READ
    std::int32_t Write(Gate& gate, std::uint16_t value);   // QEL_WRITE, value in slot 1
    std::int32_t WarmStart();
    std::int32_t ClosePort();

    // Bytes of every frame the simulator received from the driver, in order.
    std::vector<std::string> Sent();
    std::vector<fasim::TraceRecord> Trace();
    // Forgets the traffic and the log lines so far.
    void Forget();

private:
    void Prepare(const RigSetup& setup);

    std::string link_;
    fasim::Simulator sim_;
    testsupport::LogCapture log_;
    DriverWorkspace workspace_{};
    bool ready_ = false;
};

// The driver's messages, as the log records them.
LogLine Info(const std::string& text);
LogLine ReadRetry(const std::string& gas, int attempt);
LogLine ReadFailed(const std::string& gas, int rc);
LogLine WriteFailed(const std::string& gas, int rc);
LogLine ReadOnly(const std::string& gas);
LogLine OutOfRange(const std::string& gas);
LogLine ClearForceFailed();
LogLine NakReceived(char code);

// Written gate numbers of bit areas: byte digits and a bit digit 0-7.
unsigned LinearBit(unsigned written);
unsigned WrittenBit(unsigned linear);

// For printing traces and frames in failure messages.
std::string Readable(const std::vector<std::string>& frames);

double SecondsSince(std::chrono::steady_clock::time_point start);

}  // namespace e2e

namespace testsupport {
// So that gtest prints log lines readably.
void PrintTo(const LogLine& line, std::ostream* os);
}  // namespace testsupport
