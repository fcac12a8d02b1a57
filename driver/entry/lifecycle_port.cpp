// QEL_CLOSE_PORT, QEL_OPEN_PORT and QEL_RECONFIGURE.
#include <cstring>

#include "entry/lifecycle.h"
#include "base/workspace.h"
#include "serial/serial_port.h"

namespace qel {

Result ReleasePort(DriverWorkspace& workspace) {
    if (workspace.portHandle == NO_PORT) return RESULT_DONE;
    if (ClosePortHandle(workspace.portHandle) != PORT_OK) return RESULT_LINE_FAILURE;
    workspace.portHandle = NO_PORT;
    return RESULT_DONE;
}

std::int32_t ClosePort(const QelRequest* request) {
    DriverWorkspace* workspace = WorkspaceOf(request);
    if (workspace == nullptr) return RESULT_REFUSED;
    return ReleasePort(*workspace);
}

std::int32_t OpenPortOperation(const QelRequest* request) {
    DriverWorkspace* workspace = WorkspaceOf(request);
    if (workspace == nullptr) return RESULT_REFUSED;

    // The port is opened exclusively: one still held is closed first.
    (void)ReleasePort(*workspace);
    const PortSettings settings = workspace->port;
    const PortHandle handle = OpenPort(settings);
    if (handle == NO_PORT) return RESULT_LINE_FAILURE;
    workspace->portEnabled = 1;
    workspace->portHandle = handle;
    return RESULT_DONE;
}

std::int32_t Reconfigure(const QelRequest* request) {
    DriverWorkspace* workspace = WorkspaceOf(request);
    const PortUpdate* update = ParametersOf<const PortUpdate>(request);
    if (workspace == nullptr || update == nullptr) return RESULT_REFUSED;

    // No lower bound here, unlike QEL_INIT.
    if (update->readTimeout != 0) workspace->readTimeout = update->readTimeout;
    // Whether the name changes or not, the port held so far is closed before
    // the new settings are opened.
    (void)ReleasePort(*workspace);

    PortSettings settings = workspace->port;  // lineControl stays
    std::memcpy(settings.portName, update->portName, sizeof settings.portName);
    settings.baudRate = update->baudRate;
    settings.dataBits = update->dataBits;
    settings.stopBits = update->stopBits;
    settings.parity = update->parity;
    workspace->port = settings;

    const PortHandle handle = OpenPort(settings);
    if (handle == NO_PORT) return RESULT_LINE_FAILURE;
    workspace->portHandle = handle;
    return RESULT_DONE;
}

}  // namespace qel
