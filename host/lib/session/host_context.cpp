#include "session/host_context.h"

#include <filesystem>

#include "common/bounded_file.h"
#include "session/stations/model_directory.h"
#include "session/diagnosis/hint_policy.h"
#include "session/diagnosis/port_diagnosis.h"
#include "session/report/report.h"
#include "session/stations/station_probe.h"

namespace qel::session {

namespace fs = std::filesystem;

namespace {

// A model file's text; empty when it cannot be read, which the reading of
// its models then reports.
std::string ReadWhole(const std::string& path) {
    std::string bytes, error;
    if (!common::ReadBoundedFile(path, common::kModelFile, bytes, error)) bytes.clear();
    return bytes;
}

// Whether the driver has a write frame for the area: every writable area but
// WO on an FA-2; TM and CT are read only.
bool Writable(std::uint32_t area, StationKind kind) {
    switch (area) {
        case AREA_DR:
        case AREA_CP:
        case AREA_TP:
        case AREA_IO:
        case AREA_IR:
        case AREA_SR:
        case AREA_FORCE: return true;
        case AREA_WO: return kind != StationKind::FA2;
        default: return false;
    }
}

}  // namespace

void ReportModelWarnings(const ReportSink& sink, const std::string& file, const StationModels& models) {
    for (const ModelWarning& warning : models.warnings) {
        Report(sink, Severity::Warning, file + ":" + std::to_string(warning.line) + ": " + warning.text);
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
        fault_ = OpenFault::Driver;
        Fail(error);
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

OpenResult HostContext::Open(const SessionOptions& options) {
    fault_ = OpenFault::None;
    if (!session_ && !LoadDriver(options)) return OpenResult::BadSetting;
    line_ = options.line;
    port_ = options.line.port;
    schedulerOptions_ = SchedulerOptionsFor(options);
    schedulerOptions_.report = report_;
    std::string error;

    // The station models: the named file, or the one the driver would find
    // here, checked line by line; then --station over them.
    std::string modelSource = options.modelsFile;
    if (modelSource.empty() && fs::exists(ModelFileName(line_.qel))) modelSource = ModelFileName(line_.qel);
    models_ = StationModels{};
    std::string sourceText;
    if (!options.modelsFile.empty()) {
        if (!ReadHandWrittenModelFile(modelSource, models_, sourceText, error)) {
            Fail(error);
            return OpenResult::BadSetting;
        }
        ReportModelWarnings(report_, modelSource, models_);
    } else if (!modelSource.empty()) {
        sourceText = ReadWhole(modelSource);
        if (!ReadStationModelFile(modelSource, models_, error)) {
            Fail(error);
            return OpenResult::BadSetting;
        }
        ReportModelWarnings(report_, modelSource, models_);
    }
    modelSource_ = modelSource;
    // With no file, the messages that rest on a model name the one the
    // driver looked for, where it looked.
    if (modelSource.empty()) {
        models_.lookedFor = Absolute(ModelFileName(line_.qel));
        models_.qel = line_.qel;
    }
    ApplyStationOptions(options.stations, models_);

    // A port over TCP gets a pty bridged to it; a path is given to the
    // driver as it fits its field (DriverPortFor).
    std::string portTarget = port_;
    std::string tcpHost, tcpPort;
    if (ParseTcpAddress(port_, tcpHost, tcpPort)) {
        // A line over TCP: the driver gets the slave of a pty bridged to it.
        bridge_ = std::make_unique<TcpBridge>();
        if (!bridge_->Start(tcpHost, tcpPort, error)) {
            Fail(error);
            return OpenResult::LineFailure;
        }
        portTarget = bridge_->SlavePath();
    } else if (port_.rfind("tcp:", 0) == 0) {
        fault_ = OpenFault::TcpForm;
        Fail("the port " + port_ + " is no line over TCP: that is tcp:HOST:PORT, e.g. tcp:192.168.1.20:4001");
        return OpenResult::BadSetting;
    } else if (LooksLikeTcpAddress(port_)) {
        fault_ = OpenFault::TcpWithoutPrefix;
        Fail("the port " + port_ + " is no device here; as a line over TCP it is tcp:" + port_);
        return OpenResult::BadSetting;
    }
    const bool ownModels = !options.modelsFile.empty() || !options.stations.empty();
    portPath_ = portTarget.find('/') == std::string::npos ? portTarget : Absolute(portTarget);
    if (!port_.empty() && !DriverPortFor(portTarget, line_.port, error)) {
        Fail(error);
        return OpenResult::BadSetting;
    }
    if (ownModels || !linkTarget_.empty()) {
        if (!EnterWorkDirectory(error)) {
            Fail(error);
            return OpenResult::BadSetting;
        }
        const std::string text = options.stations.empty() ? sourceText : StationModelText(models_);
        if (!text.empty() && !WriteModelFile(workDir_, line_.qel, text, error)) {
            Fail(error);
            return OpenResult::BadSetting;
        }
    }
    if (!linkTarget_.empty()) portTarget = linkTarget_;
    if (session_->Init(line_) == DriverResult::Done) return OpenResult::Ready;
    PortFault portFault = PortFault::Other;
    Fail(ExplainOpenFailure(portTarget, &portFault));
    if (portFault == PortFault::LineSettings) fault_ = OpenFault::LineSettings;
    return OpenResult::LineFailure;
}

bool HostContext::LinkLine(const std::string& target, std::string& error) {
    if (!EnterWorkDirectory(error)) return false;
    const fs::path link = fs::path(workDir_) / "line";
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link, ec);
    if (ec) {
        error = "cannot link " + link.string() + " to " + target + ": " + ec.message();
        return false;
    }
    linkTarget_ = target;
    return true;
}

bool HostContext::DriverPortFor(const std::string& port, std::string& name, std::string& error) {
    const std::string full = port.find('/') == std::string::npos ? port : Absolute(port);  // ttyUSB0: the driver's /dev
    if (full.size() < PORT_NAME_SIZE) {
        name = full;
        linkTarget_.clear();
        return true;
    }
    // /dev/ttyUSB0, /dev/serial/by-id/...: longer than the driver's field.
    // The link is looked at only when the port is opened, so a device that
    // comes back after it was unplugged is found again through it.
    if (!LinkLine(full, error)) return false;
    name = "./line";
    return true;
}

DriverResult HostContext::Reopen(const StationModels& models, int readTimeout) {
    std::string error;
    if (!PutModels(StationModelText(models), error) || (!linkTarget_.empty() && !LinkLine(linkTarget_, error))) {
        Fail(error);
        return DriverResult::Refused;
    }
    session_->Close();
    DriverResult result = session_->Init(line_);
    if (result == DriverResult::Done && readTimeout > 0) result = session_->SetReadTimeout(line_, readTimeout);
    return result;
}

StationProbe HostContext::MakeProbe(int readTimeout) {
    return StationProbe(*session_, [this](const StationModels& models, int timeout) { return Reopen(models, timeout); },
                        readTimeout);
}

DriverResult HostContext::CheckGate(Gate& gate) { return session_->Check(gate); }

GateDiagnosis HostContext::DiagnoseGate(const Gate& gate) { return qel::session::DiagnoseGate(*session_, gate, models_); }

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

Outcome HostContext::Read(const Gate& gate, std::vector<std::uint16_t>& values) {
    LineRequest request;
    request.station = gate.definition.station;
    request.exchanges.push_back(LineExchange::Read(gate));
    scheduler().Call(request);
    values = request.exchanges.front().Values();
    // Not run (the scheduler stopped) is a line failure: nothing was carried out.
    return request.outcome.value_or(Outcome{DriverResult::LineFailure, FailureKind::None});
}

Outcome HostContext::Write(const Gate& gate, std::uint16_t value) {
    Outcome outcome{session_->Write(gate, value), FailureKind::None};
    if (outcome.result == DriverResult::Refused) {
        // Refused before anything was sent: a preset above 9999, or an area
        // without a write frame.
        const std::uint32_t area = gate.definition.areaCode;
        const bool preset = (area == AREA_CP || area == AREA_TP) && value > 9999;
        const unsigned station = gate.definition.station;
        const StationKind kind = StationKindOf(session_->StationModel(station));
        if (preset || !Writable(area, kind)) outcome.failure = FailureKind::Refused;
    }
    return outcome;
}

StationKind HostContext::AnswersAs(unsigned station, bool& selectionOnly) {
    StationProbe probe = MakeProbe(ProbeReadTimeout(line_));
    const ProbeAnswer answer = probe.Probe(station);
    selectionOnly = answer == ProbeAnswer::Unknown;
    return answer == ProbeAnswer::FA2 ? StationKind::FA2 : answer == ProbeAnswer::FA3 ? StationKind::FA3 : StationKind::Other;
}

Diagnosis HostContext::DiagnoseModel(unsigned station) {
    Diagnosis d;
    d.station = station;
    d.modelFile = modelSource_;
    d.port = port_;
    d.line = line_;
    d.hint = Hint::StationRefused;
    if (station >= STATION_COUNT) return d;
    d.model = session_->StationModel(station);
    d.namedAs = StationKindOf(d.model);
    d.namedByOption = models_.byOption[station];
    d.modelLine = d.namedByOption ? 0 : models_.line[station];
    std::error_code ec;
    const fs::path before = fs::current_path(ec);
    bool selectionOnly = false;
    d.answersAs = AnswersAs(station, selectionOnly);
    Reopen(models_, 0);
    if (!ec && !before.empty()) fs::current_path(before, ec);
    if (d.answersAs == StationKind::Other || d.answersAs == d.namedAs || d.namedAs == StationKind::Other) return d;
    d.hint = models_.named[station] ? Hint::NamedModelMismatch : Hint::TakenForFa2;
    return d;
}

Diagnosis HostContext::Diagnose(const Gate& gate, const Outcome& outcome, bool write, std::uint16_t value) {
    StopScheduler();  // the diagnosis talks to the line itself
    Diagnosis d;
    d.write = write;
    d.gas = gate.gas;
    d.station = gate.definition.station;
    d.outcome = outcome;
    d.modelFile = modelSource_;
    d.port = port_;
    d.line = line_;
    d.probeTimeoutMs = static_cast<int>(schedulerOptions_.probeTimeout.count());
    const unsigned station = d.station;
    const bool known = station < STATION_COUNT;
    d.model = known ? session_->StationModel(station) : std::string();
    d.namedAs = StationKindOf(d.model);
    d.namedByOption = known && models_.byOption[station];
    d.modelLine = known && !d.namedByOption ? models_.line[station] : 0;

    HintFacts facts = FactsOf(write, gate.definition.areaCode, value, outcome, known, d.model);
    facts.unservedRead = !write && UnservedRead(*session_, gate);
    facts.named = known && models_.named[station];
    facts.namedAs = d.namedAs;
    facts.probeTimeoutMs = d.probeTimeoutMs;
    facts.mayAsk = true;
    HintStep step = DecideHint(facts);
    for (; step.ask != HintQuestion::None; step = DecideHint(facts)) {
        if (step.ask == HintQuestion::AnswersAs) {
            facts.answersAs = AnswersAs(station, facts.selectionOnly);
        } else {
            // One selection with a long wait.
            StationProbe look = MakeProbe(ProbeReadTimeout(line_, kSlowLookMs));
            facts.answerTime = look.AnswerTime(station, kSlowLookMs);
        }
    }
    d.hint = step.hint;
    // What the station answers as is part of the diagnosis where it is the reason.
    if ((d.hint == Hint::NamedModelMismatch || d.hint == Hint::TakenForFa2) && facts.answersAs) d.answersAs = *facts.answersAs;
    if (d.hint == Hint::SlowAnswer && facts.answerTime && *facts.answerTime) d.answeredAfterMs = **facts.answerTime;
    return d;
}

}  // namespace qel::session
