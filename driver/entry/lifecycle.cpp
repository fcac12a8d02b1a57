// QEL_INIT and QEL_WARM_START.
#include "entry/lifecycle.h"

#include <algorithm>
#include <cstring>

#include "build_stamp.h"
#include "config/station_models.h"
#include "base/host_log.h"
#include "base/workspace.h"
#include "serial/line.h"
#include "serial/serial_port.h"

namespace qel {
namespace {

constexpr char kVersionText[] = "DAVEV: ver. compiled on " VUZORUR_BUILD_DATE " at " VUZORUR_BUILD_TIME;

PortSettings SettingsFrom(const QelSetup& setup) {
    PortSettings settings{};
    std::memcpy(settings.portName, setup.portName, sizeof settings.portName);
    settings.baudRate = setup.baudRate;
    settings.dataBits = setup.dataBits;
    settings.stopBits = setup.stopBits;
    settings.parity = setup.parity;
    settings.lineControl = INIT_LINE_CONTROL;
    return settings;
}

void ForgetStationState(DriverWorkspace& workspace) {
    workspace.lastStation = NO_STATION;
    std::fill(std::begin(workspace.forceFlags), std::end(workspace.forceFlags), std::uint8_t{0});
}

}  // namespace

std::string_view VersionText() { return kVersionText; }

std::int32_t InitQel(const QelRequest* request) {
    DriverWorkspace* workspace = WorkspaceOf(request);
    const QelSetup* setup = ParametersOf<const QelSetup>(request);
    if (workspace == nullptr || setup == nullptr) return RESULT_REFUSED;

    HostLog(LOG_INFO, "%s", kVersionText);

    workspace->portEnabled = setup->portEnabled;
    if (workspace->portEnabled == 0) return RESULT_DONE;

    const PortSettings settings = SettingsFrom(*setup);
    // A port this QEL still holds is given up before it is opened again. A
    // handle the system refuses to close stays in the workspace; the new
    // open then decides.
    (void)ReleasePort(*workspace);
    const PortHandle handle = OpenPort(settings);
    if (handle == NO_PORT) {
        char name[PORT_NAME_SIZE + 1] = {};
        std::memcpy(name, setup->portName, PORT_NAME_SIZE);
        HostLog(LOG_INFO, "DAVEV : Fail to open %s", name);
        return RESULT_LINE_FAILURE;
    }
    workspace->portHandle = handle;
    (void)SetReadTimeout(handle, setup->readTimeout);
    workspace->port = settings;
    workspace->readTimeout = std::max<std::int32_t>(setup->readTimeout, MIN_READ_TIMEOUT);
    ForgetStationState(*workspace);
    SetDefaultModels(*workspace);
    (void)LoadStationModels(*request);
    workspace->qelNumber = request->qelNumber;
    HostLog(LOG_INFO, "DAVEV: Izumi 1:N Driver QEL %d loaded successfully", static_cast<int>(workspace->qelNumber));
    return RESULT_DONE;
}

std::int32_t WarmStart(const QelRequest* request) {
    DriverWorkspace* workspace = WorkspaceOf(request);
    if (workspace == nullptr) return RESULT_REFUSED;

    if (workspace->portHandle != NO_PORT) PurgeInput(*workspace);
    // Stations held in force mode stay so; the driver just stops counting them.
    ForgetStationState(*workspace);
    HostLog(LOG_INFO, "DAVEV: Warm start QEL %d", static_cast<int>(workspace->qelNumber));
    return RESULT_DONE;
}

}  // namespace qel
