// One QEL as a host drives it: a workspace of the size the driver reports,
// the host records filled and handed to QelMain.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/driver/driver_library.h"
#include "session/driver/driver_result.h"
#include "vuzorur.h"

namespace qel::session {

struct LineOptions {
    std::string port;  // empty: the null device, for commands that need no line
    unsigned baud = 9600;
    unsigned dataBits = 8;
    std::string parity = "even";
    std::string stopBits = "1";
    int timeout = 100;  // 10 ms units
    int qel = 1;
};

// A checked gate: what the driver stored for it.
struct Gate {
    std::string gas;
    int dataType = DATA_TYPE_WORD;
    int count = 1;
    GateDefinition definition{};
};

// The driver's integers become DriverResult here, at the boundary; only
// Request, for callers that fill the driver's records themselves, passes the
// bare result on.
class QelSession {
public:
    explicit QelSession(const DriverLibrary& driver);

    DriverResult Describe(DriverInfo& info) const;
    // Allocates the workspace (size from the driver) and initialises the QEL.
    DriverResult Init(const LineOptions& line);
    // QEL_INIT with the port disabled: the driver only logs its version.
    DriverResult InitWithoutPort(int qel);
    // QEL_RECONFIGURE with the same line and this read time-out (10 ms units,
    // below the 1 s that QEL_INIT insists on).
    DriverResult SetReadTimeout(const LineOptions& line, int timeout);
    DriverResult WarmStart();
    DriverResult Close();
    // QEL_CHECK_GATE for a count of 1, QEL_CHECK_BLOCK otherwise.
    DriverResult Check(Gate& gate);
    // Reads a checked gate: values holds `count` slots (one for a single gate).
    DriverResult Read(const Gate& gate, std::vector<std::uint16_t>& values);
    DriverResult Write(const Gate& gate, std::uint16_t value);
    // QelMain with this QEL's workspace, for callers that fill the records
    // themselves (the scan planner's checks and transfers).
    std::int32_t Request(std::int32_t operation, void* parameters) { return Call(operation, parameters); }

    // The model text the workspace holds for a station ("FA2", "FA3", ...).
    std::string StationModel(std::uint32_t station) const;
    const DriverWorkspace* Workspace() const;

private:
    void FillLine(const LineOptions& line, char (&portName)[PORT_NAME_SIZE], std::uint16_t& baud,
                  std::uint16_t& dataBits, std::uint16_t& stopBits, std::uint16_t& parity) const;
    std::int32_t Call(std::int32_t operation, void* parameters) const;

    const DriverLibrary& driver_;
    std::vector<unsigned char> workspace_;
    int qel_ = 1;
};

// The transfer of a checked gate: what the driver stored for it, `count`
// values, and the host's slots (slot 1 for a single value).
GateTransfer TransferOf(const Gate& gate, int count, std::uint16_t* slots);

// The data type a gate of this address wants: bit for IO, IR, IM, SR and FORCE.
int GuessDataType(const std::string& gas);

// Parses the line's words into QelSetup codes; false with a reason on error.
bool ParityCode(const std::string& name, std::uint16_t& code);
bool StopBitsCode(const std::string& name, std::uint16_t& code);

}  // namespace qel::session
