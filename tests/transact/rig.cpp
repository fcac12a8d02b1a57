#include "rig.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <thread>

#include "support/pty_pair.h"
#include "trace.h"

namespace e2e {
namespace {

constexpr std::int32_t kQel = 1;
constexpr std::size_t kGuardSlots = 4;

fasim::Options SimulatorOptions(const RigSetup& setup) {
    fasim::Options options;
    options.stations = setup.stations;
    options.line.paced = setup.paced;
    options.turnaroundMs = setup.turnaroundMs;
    options.faults = setup.faults;
    return options;
}

// Runs QEL_INIT from a fresh directory that holds the QEL's station model
// file, then goes back: the file is read only during QEL_INIT.
class ModelDirectory {
public:
    explicit ModelDirectory(const std::string& modelFile) {
        char here[4096];
        if (getcwd(here, sizeof here) != nullptr) previous_ = here;
        char pattern[] = "/tmp/vuzorur-e2e-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        path_ = pattern;
        if (!modelFile.empty()) {
            file_ = path_ + "/davEV01.int";
            if (std::FILE* f = std::fopen(file_.c_str(), "wb")) {
                std::fwrite(modelFile.data(), 1, modelFile.size(), f);
                std::fclose(f);
            }
        }
        entered_ = chdir(path_.c_str()) == 0;
    }
    ~ModelDirectory() {
        if (!previous_.empty() && chdir(previous_.c_str()) != 0) ADD_FAILURE() << "cannot go back to " << previous_;
        if (!file_.empty()) std::remove(file_.c_str());
        if (!path_.empty()) rmdir(path_.c_str());
    }
    ModelDirectory(const ModelDirectory&) = delete;
    ModelDirectory& operator=(const ModelDirectory&) = delete;
    bool Entered() const { return entered_; }

private:
    std::string previous_;
    std::string path_;
    std::string file_;
    bool entered_ = false;
};

}  // namespace

void Gate::ResetSlots() { std::fill(values.begin(), values.end(), kUntouched); }

Rig::Rig(RigSetup setup) : link_(testsupport::ShortLinkPath()), sim_(SimulatorOptions(setup)) {
    std::memset(&workspace_, 0, sizeof workspace_);
    Prepare(setup);
    Forget();
}

void Rig::Prepare(const RigSetup& setup) {
    std::string error;
    if (!sim_.StartPty(link_, &error)) {
        ADD_FAILURE() << "the simulator cannot attach at " << link_ << ": " << error;
        return;
    }
    QelSetup qelSetup{};
    std::snprintf(qelSetup.portName, sizeof qelSetup.portName, "%s", link_.c_str());
    qelSetup.portEnabled = 1;
    qelSetup.readTimeout = MIN_READ_TIMEOUT;
    qelSetup.baudRate = 9600;
    qelSetup.dataBits = 8;
    qelSetup.stopBits = 0;
    qelSetup.parity = 2;
    {
        ModelDirectory directory(setup.modelFile);
        if (!directory.Entered()) {
            ADD_FAILURE() << "no directory for the station model file";
            return;
        }
        if (const std::int32_t rc = Call(QEL_INIT, &qelSetup); rc != 0) {
            ADD_FAILURE() << "QEL_INIT on " << link_ << " gave " << rc;
            return;
        }
    }
    if (setup.readTimeout != workspace_.readTimeout) {
        if (ClosePort() != 0) {
            ADD_FAILURE() << "QEL_CLOSE_PORT failed";
            return;
        }
        PortUpdate update{};
        std::snprintf(update.portName, sizeof update.portName, "%s", link_.c_str());
        update.readTimeout = setup.readTimeout;
        update.baudRate = 9600;
        update.dataBits = 8;
        update.stopBits = 0;
        update.parity = 2;
        if (const std::int32_t rc = Call(QEL_RECONFIGURE, &update); rc != 0) {
            ADD_FAILURE() << "QEL_RECONFIGURE on " << link_ << " gave " << rc;
            return;
        }
    }
    if (workspace_.readTimeout != setup.readTimeout || workspace_.lastStation != NO_STATION) {
        ADD_FAILURE() << "unexpected workspace after setup: readTimeout " << workspace_.readTimeout
                      << ", lastStation " << workspace_.lastStation;
        return;
    }
    ready_ = true;
}

Rig::~Rig() {
    Call(QEL_CLOSE, nullptr);
    sim_.Stop();
}

std::int32_t Rig::Call(std::int32_t operation, void* parameters) {
    QelRequest request{};
    request.workspace = &workspace_;
    request.operation = operation;
    request.qelNumber = kQel;
    request.parameters = parameters;
    return QelMain(&request);
}

Gate Rig::Define(const std::string& gas, std::int32_t dataType, std::int32_t count, bool block) {
    Gate gate;
    gate.gas = gas;
    GateDefinition definition{};
    definition.gas = gate.gas.c_str();
    definition.dataType = dataType;
    definition.count = count;
    const bool asBlock = block || count != 1;
    gate.checkResult = Call(asBlock ? QEL_CHECK_BLOCK : QEL_CHECK_GATE, &definition);
    if (gate.checkResult != 0) {
        ADD_FAILURE() << "the driver rejects the gate " << gas << " (data type " << dataType << ", count " << count
                      << ")";
    }
    gate.transfer.station = definition.station;
    gate.transfer.areaCode = definition.areaCode;
    gate.transfer.element = definition.element;
    gate.transfer.dataType = dataType;
    gate.transfer.count = count;
    gate.values.assign(static_cast<std::size_t>(std::max(count, 2)) + kGuardSlots, kUntouched);
    return gate;
}

namespace {
void Bind(Gate& gate) {
    gate.transfer.gas = gate.nullGas ? nullptr : gate.gas.c_str();
    gate.transfer.values = gate.values.data();
}
}  // namespace

std::int32_t Rig::Read(Gate& gate) {
    Bind(gate);
    return Call(QEL_READ_BLOCK, &gate.transfer);
}

std::int32_t Rig::ReadSingle(Gate& gate) {
    Bind(gate);
    return Call(QEL_READ, &gate.transfer);
}

std::int32_t Rig::Write(Gate& gate, std::uint16_t value) {
    Bind(gate);
    gate.values.at(1) = value;
    return Call(QEL_WRITE, &gate.transfer);
}

std::int32_t Rig::WarmStart() { return Call(QEL_WARM_START, nullptr); }

std::int32_t Rig::ClosePort() { return Call(QEL_CLOSE_PORT, nullptr); }

std::vector<fasim::TraceRecord> Rig::Trace() {
    // The simulator records a frame as it takes it in; give a frame that the
    // driver might have sent last, unanswered, a moment to arrive.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return sim_.Trace();
}

std::vector<std::string> Rig::Sent() {
    std::vector<std::string> frames;
    for (const fasim::TraceRecord& record : Trace()) {
        if (record.fromMaster) frames.push_back(record.bytes);
    }
    return frames;
}

void Rig::Forget() {
    sim_.ClearTrace();
    log_.Clear();
}

LogLine Info(const std::string& text) { return {kLogInfo, text}; }
LogLine ReadRetry(const std::string& gas, int attempt) {
    return Info("DAVEV: Gate " + gas + ", Read Retry " + std::to_string(attempt));
}
LogLine ReadFailed(const std::string& gas, int rc) {
    return Info("DAVEV: Read failed. Gate = " + gas + ", rc = " + std::to_string(rc));
}
LogLine WriteFailed(const std::string& gas, int rc) {
    return Info("DAVEV: Write failed. Gate = " + gas + " , rc = " + std::to_string(rc));
}
LogLine ReadOnly(const std::string& gas) { return Info("DAVEV: Can't write to a 'Read-Only' Gate. GAS: " + gas); }
LogLine OutOfRange(const std::string& gas) { return Info("DAVEV:Value to write out of range. Gate=" + gas); }
LogLine ClearForceFailed() { return Info("DAVEV: Failed to clear Force Mode !"); }
LogLine NakReceived(char code) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(static_cast<unsigned char>(code)));
    return Info(std::string("DAVEV:Nck message received. Errorcode=") + hex + " ");
}

unsigned LinearBit(unsigned written) { return (written / 10) * 8 + written % 10; }
unsigned WrittenBit(unsigned linear) { return (linear / 8) * 10 + linear % 8; }

std::string Readable(const std::vector<std::string>& frames) {
    std::string out;
    for (const std::string& frame : frames) out += "  " + fasim::ReadableBytes(frame) + '\n';
    return out;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace e2e

namespace testsupport {
void PrintTo(const LogLine& line, std::ostream* os) { *os << "{" << line.level << ", \"" << line.text << "\"}"; }
}  // namespace testsupport
