// The host records sit at the host's fixed layouts. On 32-bit targets every
// offset is the host's; on 64-bit targets the same fields keep their order
// with natural alignment. The workspace is packed to 1591 bytes everywhere.
#include <cstddef>

#include "vuzorur.h"

#define AT(record, field, offset32, offset64) \
    static_assert(offsetof(record, field) == (sizeof(void*) == 4 ? (offset32) : (offset64)), #record "." #field)
#define SIZE(record, size32, size64) \
    static_assert(sizeof(record) == (sizeof(void*) == 4 ? (size32) : (size64)), "sizeof " #record)

AT(QelRequest, workspace, 0, 0);
AT(QelRequest, operation, 4, 8);
AT(QelRequest, qelNumber, 8, 12);
AT(QelRequest, reserved, 12, 16);
AT(QelRequest, parameters, 16, 24);
SIZE(QelRequest, 20, 32);

AT(PortSettings, portName, 0, 0);
AT(PortSettings, baudRate, 12, 12);
AT(PortSettings, dataBits, 14, 14);
AT(PortSettings, stopBits, 16, 16);
AT(PortSettings, parity, 18, 18);
AT(PortSettings, lineControl, 20, 20);
SIZE(PortSettings, 22, 22);

AT(DriverWorkspace, readTimeout, 0, 0);
AT(DriverWorkspace, portHandle, 4, 4);
AT(DriverWorkspace, portEnabled, 8, 8);
AT(DriverWorkspace, qelNumber, 12, 12);
AT(DriverWorkspace, port, 16, 16);
AT(DriverWorkspace, gasScratch, 38, 38);
AT(DriverWorkspace, lastStation, 53, 53);
AT(DriverWorkspace, stationModel, 55, 55);
AT(DriverWorkspace, forceFlags, 1335, 1335);
SIZE(DriverWorkspace, DRIVER_WORKSPACE_SIZE, DRIVER_WORKSPACE_SIZE);
static_assert(sizeof(static_cast<DriverWorkspace*>(nullptr)->portHandle) == 4, "32-bit handle slot");

AT(GateTransfer, gas, 0, 0);
AT(GateTransfer, hostField, 4, 8);
AT(GateTransfer, station, 8, 12);
AT(GateTransfer, areaCode, 12, 16);
AT(GateTransfer, element, 16, 20);
AT(GateTransfer, hostField2, 20, 24);
AT(GateTransfer, hostField3, 24, 28);
AT(GateTransfer, dataType, 28, 32);
AT(GateTransfer, count, 32, 36);
AT(GateTransfer, hostField4, 36, 40);
AT(GateTransfer, values, 40, 48);
SIZE(GateTransfer, 44, 56);

AT(GateDefinition, gas, 0, 0);
AT(GateDefinition, hostField, 4, 8);
AT(GateDefinition, dataType, 8, 12);
AT(GateDefinition, count, 12, 16);
AT(GateDefinition, station, 16, 20);
AT(GateDefinition, areaCode, 20, 24);
AT(GateDefinition, element, 24, 28);
AT(GateDefinition, fixedOut1, 28, 32);
AT(GateDefinition, fixedOut2, 32, 36);
SIZE(GateDefinition, 36, 40);

AT(QelSetup, portName, 0, 0);
AT(QelSetup, portEnabled, 12, 12);
AT(QelSetup, readTimeout, 16, 16);
AT(QelSetup, baudRate, 20, 20);
AT(QelSetup, dataBits, 22, 22);
AT(QelSetup, stopBits, 24, 24);
AT(QelSetup, parity, 26, 26);
SIZE(QelSetup, 28, 28);

AT(PortUpdate, portName, 0, 0);
AT(PortUpdate, readTimeout, 12, 12);
AT(PortUpdate, baudRate, 16, 16);
AT(PortUpdate, dataBits, 18, 18);
AT(PortUpdate, stopBits, 20, 20);
AT(PortUpdate, parity, 22, 22);
SIZE(PortUpdate, 24, 24);

AT(DriverInfo, hostCode1, 0, 0);
AT(DriverInfo, driverName, 4, 8);
AT(DriverInfo, bannerText, 8, 16);
AT(DriverInfo, workspaceSize, 12, 24);
AT(DriverInfo, hostCode2, 16, 28);
AT(DriverInfo, baudRate, 20, 32);
AT(DriverInfo, dataBits, 22, 34);
AT(DriverInfo, stopBits, 24, 36);
AT(DriverInfo, parity, 26, 38);
AT(DriverInfo, hostCode3, 28, 40);
SIZE(DriverInfo, 32, 48);

AT(QelAttempt, transfer, 0, 0);
AT(QelAttempt, timeoutMs, 4, 8);
AT(QelAttempt, failure, 8, 12);
AT(QelAttempt, trailerLength, 12, 16);
AT(QelAttempt, trailer, 16, 20);
SIZE(QelAttempt, 24, 32);
static_assert(QEL_TRAILER_SIZE == 8, "the trailer area of QelAttempt");
