#include "soak_rig.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "kestan.h"
#include "serial/serial_port.h"
#include "support/host_records.h"

namespace soak {
namespace {

constexpr std::int32_t kQel = 1;

// The platform's backend with the driver's waits compressed.
std::atomic<unsigned> timeScale{1};
std::atomic<std::uint64_t> skippedMs{0};
qel::SerialBackend compressed{};

bool ScaledSetReadTimeout(qel::PortHandle handle, std::uint32_t ms) {
    const unsigned scale = timeScale.load();
    return qel::PlatformSerialBackend().setReadTimeout(handle, std::max<std::uint32_t>(1, ms / scale));
}

bool ScaledGetReadTimeout(qel::PortHandle handle, std::uint32_t* ms) {
    if (!qel::PlatformSerialBackend().getReadTimeout(handle, ms)) return false;
    *ms *= timeScale.load();
    return true;
}

bool ScaledReadWaiting(qel::PortHandle handle, std::span<std::uint8_t> buffer, std::uint32_t firstByteMs,
                       std::uint32_t* received) {
    const unsigned scale = timeScale.load();
    return qel::PlatformSerialBackend().readWaiting(handle, buffer, std::max<std::uint32_t>(1, firstByteMs / scale),
                                                   received);
}

void SkippedSleep(std::uint32_t ms) { skippedMs += ms; }

fasim::Options SimulatorOptions(bool paced) {
    fasim::Options options;
    for (int station : SoakRig::kStations)
        options.stations[station] = SoakRig::IsFa3(station) ? fasim::Model::FA3 : fasim::Model::FA2;
    options.line.paced = paced;
    options.traceLimit = 64;
    return options;
}

std::string ShortLink() {
    std::random_device random;
    char path[16];
    std::snprintf(path, sizeof path, "/tmp/sk%04x", static_cast<unsigned>(random() & 0xFFFF));
    return path;
}

// QEL_INIT reads the station model file from the current directory.
bool InitFromModelDirectory(SoakRig& rig, QelSetup& setup, std::string& error) {
    char here[4096];
    if (getcwd(here, sizeof here) == nullptr) return error = "no current directory", false;
    char dir[] = "/tmp/vuzorur-soak-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) return error = "no scratch directory", false;
    const std::string file = std::string(dir) + "/davEV01.int";
    if (std::FILE* f = std::fopen(file.c_str(), "wb")) {
        std::fputs("002FA3\n004FA3\n", f);
        std::fclose(f);
    }
    const std::int32_t rc = rig.Call(QEL_INIT, &setup);
    std::remove(file.c_str());
    const bool back = chdir(here) == 0;
    rmdir(dir);
    if (rc != 0) return error = "QEL_INIT gave " + std::to_string(rc), false;
    if (!back) return error = "cannot return to " + std::string(here), false;
    return true;
}

}  // namespace

SoakRig::SoakRig(const RigOptions& options)
    : options_(options), sim_(SimulatorOptions(options.paced)), link_(ShortLink()) {}

SoakRig::~SoakRig() {
    if (started_) Call(QEL_CLOSE, nullptr);
    sim_.Stop();
    qel::UseSerialBackend(nullptr);
    KestanLogToFile(nullptr);
}

bool SoakRig::Start(std::string& error) {
    if (KestanLogToFile(options_.logFile.c_str()) != 0) return error = "cannot log to " + options_.logFile, false;
    if (!options_.paced) {
        compressed = qel::PlatformSerialBackend();
        compressed.setReadTimeout = &ScaledSetReadTimeout;
        compressed.getReadTimeout = &ScaledGetReadTimeout;
        compressed.readWaiting = &ScaledReadWaiting;  // the purge's wait for quiet
        compressed.sleep = &SkippedSleep;
        timeScale = std::max(1u, options_.timeScale);
        qel::UseSerialBackend(&compressed);
    }
    if (!sim_.StartPty(link_, &error)) return false;
    QelSetup setup = testsupport::SetupFor(link_, 1, MIN_READ_TIMEOUT);
    if (!InitFromModelDirectory(*this, setup, error)) return false;
    started_ = true;
    // QEL_INIT keeps at least its minimum read time-out; a shorter one comes
    // with a reconfiguration of the closed port.
    if (options_.readTimeout != workspace_.readTimeout) {
        PortUpdate update{};
        std::snprintf(update.portName, sizeof update.portName, "%s", link_.c_str());
        update.readTimeout = options_.readTimeout;
        update.baudRate = 9600;
        update.dataBits = 8;
        update.parity = 2;
        if (Call(QEL_CLOSE_PORT, nullptr) != 0 || Call(QEL_RECONFIGURE, &update) != 0)
            return error = "cannot set the read time-out", false;
    }
    return true;
}

std::int32_t SoakRig::Call(std::int32_t operation, void* parameters) {
    return testsupport::CallQel(workspace_, operation, parameters, kQel);
}

bool SoakRig::Define(const std::string& gas, std::int32_t dataType, std::int32_t count, bool block,
                     GateTransfer& transfer) {
    GateDefinition definition{};
    definition.gas = gas.c_str();
    definition.dataType = dataType;
    definition.count = count;
    if (Call(block ? QEL_CHECK_BLOCK : QEL_CHECK_GATE, &definition) != 0) return false;
    transfer = GateTransfer{};
    transfer.station = definition.station;
    transfer.areaCode = definition.areaCode;
    transfer.element = definition.element;
    transfer.dataType = definition.dataType;
    transfer.count = count;
    return true;
}

unsigned SoakRig::EffectiveReadTimeoutMs() const {
    const unsigned ms = static_cast<unsigned>(workspace_.readTimeout) * 10;
    return options_.paced ? ms : std::max(1u, ms / timeScale.load());
}

std::uint64_t SoakRig::SkippedSleepMs() const { return skippedMs.load(); }

}  // namespace soak
