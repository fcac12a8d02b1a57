#include "session/host_context.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

#include "session/driver_log.h"
#include "session/gate_diagnosis.h"
#include "session/model_directory.h"
#include "session/port_diagnosis.h"
#include "session/program_name.h"
#include "session/station_probe.h"

namespace qel::session {

namespace fs = std::filesystem;

namespace {

std::string ReadWhole(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// A relative path with a directory part: it names a file from where the
// program started, which the driver may no longer see from its directory.
bool IsRelativePath(const std::string& port) {
    return port.find('/') != std::string::npos && port.front() != '/';
}

}  // namespace

void PrintModelWarnings(const std::string& file, const StationModels& models) {
    for (const ModelWarning& warning : models.warnings) {
        std::cerr << MessageHead() << "warning: " << file << ":" << warning.line << ": " << warning.text << "\n";
    }
}

HostContext::~HostContext() {
    StopScheduler();
    if (session_) session_->Close();
    LeaveWorkDirectory(workDir_);
}

bool HostContext::LoadDriver(const SessionOptions& options) {
    std::string error;
    const std::string path = options.driverPath.empty() ? DriverLibrary::DefaultPath() : options.driverPath;
    if (!driver.Load(path, error)) {
        std::cerr << MessageHead() << error << " (name another with --driver PATH)\n";
        return false;
    }
    session_ = std::make_unique<QelSession>(driver);
    return true;
}

bool HostContext::EnterWorkDirectory(std::string& error) {
    return !workDir_.empty() || MakeWorkDirectory(workDir_, error);
}

bool HostContext::PutModels(const std::string& text, std::string& error) {
    return EnterWorkDirectory(error) && WriteModelFile(workDir_, line_.qel, text, error);
}

int HostContext::Open(const SessionOptions& options) {
    if (!session_ && !LoadDriver(options)) return kExitUsage;
    line_ = options.line;
    port_ = options.line.port;
    schedulerOptions_ = SchedulerOptionsFor(options);
    std::string error;

    // The station models: the named file, or the one the driver would find
    // here, checked line by line; then --station over them.
    std::string modelSource = options.modelsFile;
    if (modelSource.empty() && fs::exists(ModelFileName(line_.qel))) modelSource = ModelFileName(line_.qel);
    models_ = StationModels{};
    std::string sourceText;
    if (!options.modelsFile.empty()) {
        if (!ReadHandWrittenModelFile(modelSource, models_, sourceText, error)) {
            std::cerr << MessageHead() << error << "\n";
            return kExitUsage;
        }
        PrintModelWarnings(modelSource, models_);
    } else if (!modelSource.empty()) {
        sourceText = ReadWhole(modelSource);
        if (!ReadStationModelFile(modelSource, models_, error)) {
            std::cerr << MessageHead() << error << "\n";
            return kExitUsage;
        }
        PrintModelWarnings(modelSource, models_);
    }
    modelSource_ = modelSource;
    ApplyStationOptions(options.stations, models_);

    // A relative port stays where it was named when the driver works in a
    // directory of its own: absolute when that fits the port name, else a
    // short link in that directory.
    std::string portTarget = port_;
    std::string tcpHost, tcpPort;
    if (ParseTcpAddress(port_, tcpHost, tcpPort)) {
        // A line over TCP: the driver gets the slave of a pty bridged to it.
        bridge_ = std::make_unique<TcpBridge>();
        if (!bridge_->Start(tcpHost, tcpPort, error)) {
            std::cerr << MessageHead() << error << "\n";
            return kExitLine;
        }
        portTarget = bridge_->SlavePath();
    } else if (port_.rfind("tcp:", 0) == 0) {
        std::cerr << MessageHead() << "--port " << port_ << ": write a line over TCP as tcp:HOST:PORT, e.g. "
                  << "tcp:192.168.1.20:4001\n";
        return kExitUsage;
    } else if (LooksLikeTcpAddress(port_)) {
        std::cerr << MessageHead() << "--port " << port_ << " is no device here; for a line over TCP write --port tcp:"
                  << port_ << "\n";
        return kExitUsage;
    } else if (!port_.empty() && IsRelativePath(port_)) {
        portTarget = Absolute(port_);
    }
    const bool ownModels = !options.modelsFile.empty() || !options.stations.empty();
    if (portTarget != port_) line_.port = portTarget.size() < PORT_NAME_SIZE ? portTarget : "./line";
    if (line_.port.size() >= PORT_NAME_SIZE) {
        std::cerr << MessageHead() << "the port name " << line_.port
                  << " is longer than 11 characters; link the device to a shorter path (ln -s " << line_.port
                  << " /tmp/fa0)\n";
        return kExitUsage;
    }
    if (ownModels || line_.port == "./line") {
        if (!EnterWorkDirectory(error)) {
            std::cerr << MessageHead() << error << "\n";
            return kExitUsage;
        }
        if (line_.port == "./line") {
            std::error_code ec;
            fs::create_symlink(portTarget, fs::path(workDir_) / "line", ec);
        }
        const std::string text = options.stations.empty() ? sourceText : StationModelText(models_);
        if (!text.empty() && !WriteModelFile(workDir_, line_.qel, text, error)) {
            std::cerr << MessageHead() << error << "\n";
            return kExitUsage;
        }
    }
    ForgetDriverLog();
    const int result = session_->Init(line_);
    if (result != QEL_RESULT_DONE) std::cerr << MessageHead() << ExplainOpenFailure(portTarget) << "\n";
    return result;
}

int HostContext::Reopen(const StationModels& models, int readTimeout) {
    std::string error;
    if (!PutModels(StationModelText(models), error)) {
        std::cerr << MessageHead() << error << "\n";
        return kExitUsage;
    }
    session_->Close();
    int result = session_->Init(line_);
    if (result == QEL_RESULT_DONE && readTimeout > 0) result = session_->SetReadTimeout(line_, readTimeout);
    return result;
}

StationProbe HostContext::MakeProbe(int readTimeout) {
    return StationProbe(*session_, [this](const StationModels& models, int timeout) { return Reopen(models, timeout); },
                        readTimeout);
}

int HostContext::CheckGate(Gate& gate, bool quiet) {
    const int result = session_->Check(gate);
    if (result != QEL_RESULT_DONE && !quiet) {
        std::cerr << MessageHead() << ExplainIllegalGate(*session_, gate, models_) << "\n";
    }
    return result;
}

LineScheduler& HostContext::scheduler() {
    if (!scheduler_) {
        scheduler_ = std::make_unique<LineScheduler>(*session_, schedulerOptions_);
        scheduler_->Start();
    }
    return *scheduler_;
}

void HostContext::StopScheduler() {
    if (scheduler_) scheduler_->Stop();
    scheduler_.reset();
}

int HostContext::Read(const Gate& gate, std::vector<std::uint16_t>& values) {
    ForgetDriverLog();
    LineRequest request;
    request.station = gate.definition.station;
    request.exchanges.push_back(LineExchange::Read(gate));
    scheduler().Call(request);
    values = request.exchanges.front().Values();
    return request.result;
}

int HostContext::Write(const Gate& gate, std::uint16_t value) {
    ForgetDriverLog();
    return session_->Write(gate, value);
}

std::string HostContext::LineSettingsText() const {
    return std::to_string(line_.baud) + " baud, " + std::to_string(line_.dataBits) + " data bits, " + line_.parity +
           " parity, " + line_.stopBits + " stop bit" + (line_.stopBits == "1" ? "" : "s");
}

std::string HostContext::NamedModelMismatch(unsigned station) {
    const StationKind named = StationKindOf(session_->StationModel(station));
    if (named == StationKind::Other) return {};
    StationProbe probe = MakeProbe(ProbeReadTimeout(line_));
    const ProbeAnswer answer = probe.Probe(station);
    if (answer != ProbeAnswer::FA2 && answer != ProbeAnswer::FA3) return {};
    const StationKind found = answer == ProbeAnswer::FA2 ? StationKind::FA2 : StationKind::FA3;
    if (found == named) return {};
    char record[8];
    std::snprintf(record, sizeof record, "%03u", station);
    const std::string n = std::to_string(station);
    std::string text = "station " + n + " answers as an " + ModelName(found) + "; it is named " + ModelText(named);
    if (models_.byOption[station]) {
        text += " by --station " + n + ":" + ModelText(named) + ": write --station " + n + ":" + ModelText(found);
    } else {
        text += " in " + modelSource_ + ": change its line " + record + ModelText(named) + " to " + record +
                ModelText(found) + ", or name it with --station " + n + ":" + ModelText(found);
    }
    return text;
}

int HostContext::ReportFailure(const char* what, const Gate& gate, int result) {
    StopScheduler();  // the diagnosis talks to the line itself
    const unsigned station = gate.definition.station;
    const std::string head = MessageHead() + what + " of " + gate.gas + " failed: ";
    const bool nak = DriverLogged("Nck message received");
    const bool malformed = DriverLogged("Illegal");
    if (DriverLogged("out of range")) {
        std::cerr << head << "a preset (CP, TP) holds 0 to 9999\n";
        return kExitRefused;
    }
    if (DriverLogged("Read-Only")) {
        std::cerr << head << "the gate is read-only on station " << station << "\n";
        return kExitRefused;
    }
    if (DriverLogged("Failed to clear Force Mode")) {
        std::cerr << head << "station " << station << " did not confirm the end of force mode; write "
                  << gate.gas << " 0 again, or warm-start the controller\n";
        return kExitRefused;
    }
    if (station < STATION_COUNT && !IsKnownModel(session_->StationModel(station))) {
        std::cerr << head << "the station model file gives station " << station << " the model "
                  << session_->StationModel(station) << ", which the driver does not know: write FA2 or FA3 "
                  << "(capitals), or name it with --station " << station << ":FA3\n";
        return kExitRefused;
    }
    if (const std::string why = ExplainUnservedRead(*session_, gate); !why.empty()) {
        std::cerr << head << why << "\n";
        return kExitRefused;
    }
    if ((nak || malformed) && station < STATION_COUNT && models_.named[station]) {
        if (const std::string why = NamedModelMismatch(station); !why.empty()) {
            std::cerr << head << why << "\n";
            return kExitRefused;
        }
    }
    if (result == QEL_RESULT_REFUSED && !nak && !malformed) {
        std::cerr << head << "what came back did not match what was sent (an echo that differs, or a garbled "
                  << "reply): the line settings may differ from the controllers' (now " << LineSettingsText()
                  << "); check --baud, --parity, --data-bits and --stop-bits\n";
        return kExitLine;
    }
    if (station < STATION_COUNT && StationKindOf(session_->StationModel(station)) == StationKind::FA2 &&
        !models_.named[station]) {
        // The station is an FA-2 only because nothing names it: ask it.
        StationProbe probe = MakeProbe(ProbeReadTimeout(line_));
        const ProbeAnswer answer = probe.Probe(station);
        const std::string name = "station " + std::to_string(station);
        char record[8];
        std::snprintf(record, sizeof record, "%03u", station);
        if (answer == ProbeAnswer::FA3) {
            std::cerr << head << name << " answers as an FA-3, but it is taken for an FA-2 because no station model "
                      << "names it: name it with --station " << station << ":FA3, or add the line " << record
                      << "FA3 to the station model file\n";
            return kExitRefused;
        }
        if (answer == ProbeAnswer::Unknown) {
            std::cerr << head << name << " answers its selection but not this read; it may be an FA-3 that is not in "
                      << "the station model file (name it with --station " << station << ":FA3)\n";
            return kExitRefused;
        }
    }
    if (result == QEL_RESULT_LINE_FAILURE) {
        std::cerr << head << "no answer from station " << station << " on " << port_
                  << " (check the station number and that the controller is on, the wiring, and the line settings, "
                  << "now " << LineSettingsText() << "; qelhost scan lists the stations that answer)\n";
        return kExitLine;
    }
    std::cerr << head << "station " << station << " refused it with "
              << (nak ? "a Nak" : "a malformed answer")
              << " (the address may not exist in this controller, or the value may not fit the gate)\n";
    return kExitRefused;
}

}  // namespace qel::session
