// Host records as the tests, benchmarks and tools fill them: the driver's
// default line (9600 8E1) on a named port, a call of QelMain, and a
// single-gate transfer.
#pragma once

#include <cstdint>
#include <string>

#include "vuzorur.h"

namespace testsupport {

inline QelSetup SetupFor(const std::string& name, std::int32_t enabled = 1, std::int32_t readTimeout = 100) {
    QelSetup setup{};
    name.copy(setup.portName, sizeof setup.portName - 1);
    setup.portEnabled = enabled;
    setup.readTimeout = readTimeout;
    setup.baudRate = 9600;
    setup.dataBits = 8;
    setup.stopBits = 0;
    setup.parity = 2;
    return setup;
}

// One call of QelMain for a QEL's workspace.
inline std::int32_t CallQel(DriverWorkspace& workspace, std::int32_t operation, void* parameters,
                            std::int32_t qel = 1) {
    QelRequest request{};
    request.workspace = &workspace;
    request.operation = operation;
    request.qelNumber = qel;
    request.parameters = parameters;
    return QelMain(&request);
}

// One gate of one element; its value travels in slot 1 of `values`.
inline GateTransfer SingleTransfer(const char* gas, std::uint32_t station, std::uint32_t areaCode,
                                   std::uint32_t element, std::uint16_t* values) {
    GateTransfer transfer{};
    transfer.gas = gas;
    transfer.station = station;
    transfer.areaCode = areaCode;
    transfer.element = element;
    transfer.count = 1;
    transfer.values = values;
    return transfer;
}

}  // namespace testsupport
