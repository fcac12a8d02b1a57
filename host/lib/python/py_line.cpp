#include "py_line.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>

#include "python_names.h"
#include "session/diagnosis/port_diagnosis.h"
#include "session/driver/driver_log.h"
#include "session/host_context.h"
#include "session/line/line_scheduler.h"
#include "session/stations/model_directory.h"
#include "session/report/report.h"
#include "session/line/scheduler_options.h"
#include "session/stations/station_probe.h"

namespace qel::python {

namespace fs = std::filesystem;

namespace {

// The process's working directory is one for every thread, and the driver
// reads its station model file from it: whoever changes it holds this.
std::mutex& DirectoryMutex() {
    static std::mutex mutex;
    return mutex;
}

// What the session library reports about one line: its errors and
// warnings, kept for the caller (an OpenError's reason, Line.warnings). The
// line's own sink: two lines in one process, opened on two threads, keep
// theirs apart. The scheduler's news (a station down, the port reopened)
// reaches Python as the station's state and the counters, not as text.
class ReportCapture {
public:
    session::ReportSink Sink(const std::shared_ptr<ReportCapture>& self) {
        return [self](session::Severity severity, const std::string& text) {
            const std::lock_guard lock(self->mutex_);
            if (severity == session::Severity::Error) self->errors_.push_back(text);
            else if (severity == session::Severity::Warning) self->warnings_.push_back(text);
        };
    }
    std::vector<std::string> Warnings() const {
        const std::lock_guard lock(mutex_);
        return warnings_;
    }
    std::string Errors(const std::string& otherwise) const {
        const std::lock_guard lock(mutex_);
        std::string text;
        for (const std::string& e : errors_) text += (text.empty() ? "" : "; ") + e;
        return text.empty() ? otherwise : text;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> errors_;
    std::vector<std::string> warnings_;
};

// Back in the directory the caller was in, whatever happens.
class DirectoryKept {
public:
    DirectoryKept() : lock_(DirectoryMutex()), saved_(fs::current_path(ec_)) {}
    ~DirectoryKept() {
        if (!ec_) fs::current_path(saved_, ec_);
    }
    DirectoryKept(const DirectoryKept&) = delete;
    DirectoryKept& operator=(const DirectoryKept&) = delete;
    const fs::path& saved() const { return saved_; }

private:
    std::lock_guard<std::mutex> lock_;
    std::error_code ec_;
    fs::path saved_;
};

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

int TenMs(double seconds) { return static_cast<int>(seconds * 100 + 0.5); }

// What to change after a failed open, in Line's own parameters.
std::string OpenFaultWords(session::OpenFault fault, const std::string& port) {
    switch (fault) {
        case session::OpenFault::None: return {};
        case session::OpenFault::Driver: return "name another driver with driver=PATH";
        case session::OpenFault::TcpForm: return "write a line over TCP as port=\"tcp:HOST:PORT\"";
        case session::OpenFault::TcpWithoutPrefix: return "for a line over TCP write port=\"tcp:" + port + "\"";
        case session::OpenFault::LineSettings: return "check baud=, data_bits=, parity= and stop_bits=";
    }
    return {};
}

}  // namespace

std::string DefaultDriverPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&DefaultDriverPath), &info) == 0 || info.dli_fname == nullptr)
        return VUZORUR_DRIVER_FILE;
    const std::string dir = fs::path(info.dli_fname).parent_path().string();
    const std::string beside = dir + "/" VUZORUR_DRIVER_FILE;
    const std::string installed = dir + "/" VUZORUR_LIBRARY_FROM_MODULE "/" VUZORUR_DRIVER_FILE;
    if (!Exists(beside) && Exists(installed)) return installed;
    if (!Exists(beside)) return VUZORUR_DRIVER_FILE;  // the loader's own search
    return beside;
}

std::string RefuseSettings(const LineSettings& s) {
    if (s.port.empty()) return "port: empty; name a serial port (/dev/ttyUSB0, ttyUSB0) or tcp:HOST:PORT";
    if (s.port.find('\0') != std::string::npos) return "port: holds a NUL; name a serial port or tcp:HOST:PORT";
    if (const std::string why = session::ExplainBaud(s.baud); !why.empty())
        return "baud: " + why + "; a rate from 50 to 57600";
    if (s.dataBits < 5 || s.dataBits > 8) return "data_bits: " + std::to_string(s.dataBits) + "; 5, 6, 7 or 8";
    if (s.parity != "none" && s.parity != "odd" && s.parity != "even" && s.parity != "mark" && s.parity != "space")
        return "parity: '" + s.parity + "'; one of 'none', 'odd', 'even', 'mark', 'space'";
    if (s.stopBits != "1" && s.stopBits != "1.5" && s.stopBits != "2")
        return "stop_bits: '" + s.stopBits + "'; one of '1', '1.5', '2'";
    if (s.qel < 0 || s.qel > 9999) return "qel: " + std::to_string(s.qel) + "; a QEL number from 0 to 9999";
    return {};
}

std::string RefuseGateText(const std::string& gas) {
    for (std::size_t i = 0; i < gas.size(); ++i) {
        const auto byte = static_cast<unsigned char>(gas[i]);
        if (byte < 0x20 || byte == 0x7f)
            return "gate: a " + std::string(byte == 0 ? "NUL" : "control character") + " at character " +
                   std::to_string(i + 1) + "; a gate is text such as '001DR0010' and nothing after it";
    }
    return {};
}

namespace {

// The devices the Lines of this process hold, by the path they resolve to:
// a second Line on one of them is refused with its own words, not as a port
// some other program holds.
std::mutex& HeldMutex() {
    static std::mutex m;
    return m;
}
std::map<std::string, std::string>& HeldDevices() {
    static std::map<std::string, std::string> held;  // device -> the port as that Line named it
    return held;
}

std::string DeviceOf(const std::string& port) {
    if (port.empty() || port.rfind("tcp:", 0) == 0) return "";
    const std::string path = port.find('/') == std::string::npos ? "/dev/" + port : port;
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    return ec ? fs::absolute(path, ec).lexically_normal().string() : real.string();
}

}  // namespace

Line::Line(const LineSettings& settings) : settings_(settings), owner_(static_cast<long>(::getpid())) {
    if (const std::string device = DeviceOf(settings.port); !device.empty()) {
        const std::lock_guard lock(HeldMutex());
        const auto held = HeldDevices().find(device);
        if (held != HeldDevices().end())
            throw OpenError("this process holds " + settings.port + " already: a vuzorur.Line('" + held->second +
                                "') is open on it; close that Line first, or share it (a Line may be used from "
                                "several threads)",
                            false);
    }
    session::SessionOptions options;
    options.line.port = settings.port;
    options.line.baud = settings.baud;
    options.line.dataBits = settings.dataBits;
    options.line.parity = settings.parity;
    options.line.stopBits = settings.stopBits;
    options.line.timeout = TenMs(settings.timeout);
    options.line.qel = settings.qel;
    options.timeoutGiven = true;
    options.modelsFile = settings.models.empty() ? "" : session::Absolute(settings.models);
    for (const auto& [station, model] : settings.stations) options.stations.push_back({station, model});
    options.driverPath = settings.driver.empty() ? DefaultDriverPath() : session::Absolute(settings.driver);
    options.driverRetries = settings.driverRetries;
    options.probeTimeoutMs = static_cast<int>(settings.probeTimeout * 1000 + 0.5);

    const DirectoryKept kept;
    const auto reports = std::make_shared<ReportCapture>();
    // The driver's messages go to the log file, or nowhere: never to the caller's stderr.
    if (!session::RouteDriverLog(false, settings.log.empty() ? "" : session::Absolute(settings.log), {}))
        throw OpenError("cannot write the log file " + settings.log, true);
    host_ = std::make_unique<session::HostContext>(reports->Sink(reports));
    const session::OpenResult opened = host_->Open(options);
    warnings_ = reports->Warnings();
    if (std::error_code ec; fs::current_path(ec) != kept.saved()) workDir_ = fs::current_path(ec).string();
    if (opened != session::OpenResult::Ready) {
        const std::string advice = OpenFaultWords(host_->openFault(), settings.port);
        const std::string why = reports->Errors("the line cannot be opened") + (advice.empty() ? "" : "; " + advice);
        host_.reset();
        throw OpenError(why, opened == session::OpenResult::BadSetting);
    }
    // The gate checks on a session of their own, without the line: the
    // scheduler's thread has the line's.
    checks_ = std::make_unique<session::QelSession>(host_->driver);
    session::LineOptions noLine = host_->line();
    noLine.port.clear();
    checks_->Init(noLine);
    Start();
    if (const std::string device = DeviceOf(settings.port); !device.empty()) {
        const std::lock_guard lock(HeldMutex());
        HeldDevices()[device] = settings.port;
        device_ = device;
    }
}

Line::~Line() {
    if (Forked()) Forget();
    else Close();
}

bool Line::Forked() const { return static_cast<long>(::getpid()) != owner_; }

void Line::Owned() const {
    if (Forked()) throw ForkedError(owner_);
}

void Line::Forget() {
    // Leaked on purpose: their destructors would join threads the child
    // does not have, or wait on a mutex a thread of the parent held.
    (void)access_.release();
    (void)scheduler_.release();
    (void)checks_.release();
    (void)host_.release();
}

void Line::Start() {
    session::SessionOptions options;
    options.line = host_->line();
    options.timeoutGiven = true;
    options.driverRetries = settings_.driverRetries;
    options.probeTimeoutMs = static_cast<int>(settings_.probeTimeout * 1000 + 0.5);
    session::SchedulerOptions scheduling = session::SchedulerOptionsFor(options);
    scheduling.downHold = session::Millis(static_cast<long long>(settings_.downHold * 1000));
    scheduler_ = std::make_unique<session::LineScheduler>(host_->session(), scheduling);
    scheduler_->Start();
    session::LineFacts facts{host_->models(), settings_.models, host_->portName(), host_->line()};
    access_ = std::make_unique<session::GateAccess>(*checks_, *scheduler_, std::move(facts), 1);
}

session::GateResult Line::Read(const std::string& gas, int count, std::uint64_t client) {
    Owned();
    const std::shared_lock lock(mutex_);
    if (!access_) throw ClosedError();
    return access_->Read(gas, count, client);
}

session::GateResult Line::Write(const std::string& gas, long long value, std::uint64_t client) {
    Owned();
    const std::shared_lock lock(mutex_);
    if (!access_) throw ClosedError();
    return access_->Write(gas, value, nullptr, client);
}

std::uint64_t Line::NewClient() {
    Owned();
    const std::shared_lock lock(mutex_);
    if (!access_) throw ClosedError();
    return access_->NewClient();
}

void Line::Withdraw(std::uint64_t client) {
    if (Forked()) return;
    const std::shared_lock lock(mutex_);
    if (access_) access_->Withdraw(client);
}

std::shared_ptr<const session::TagTable> Line::LoadTags(const std::vector<common::TextLine>& lines,
                                                       const std::string& origin) {
    const std::shared_lock lock(mutex_);
    if (!access_) throw ClosedError();
    std::vector<session::ListedGate> listed;
    std::string error;
    auto tags = std::make_shared<session::TagTable>();
    if (!session::ParseGateList(lines, origin, listed, error) || !tags->Load(listed, *access_, origin, error, [](const session::GateDiagnosis& d) {
            return cli::GateDiagnosisText(d, PythonNames());
        }))
        throw std::invalid_argument(error);
    if (tags->Empty()) throw std::invalid_argument(origin + ": the list names no tag; name one with tag=NAME");
    return tags;
}

session::TagResult Line::ReadTag(const session::TagTable& tags, const std::string& name, std::uint64_t client) {
    Owned();
    const std::shared_lock lock(mutex_);
    if (!access_) throw ClosedError();
    return tags.Read(*access_, name, client);
}

session::TagResult Line::WriteTag(const session::TagTable& tags, const std::string& name, double value,
                                  std::uint64_t client) {
    Owned();
    const std::shared_lock lock(mutex_);
    if (!access_) throw ClosedError();
    return tags.Write(*access_, name, value, nullptr, client);
}

std::vector<session::GateResult> Line::Check(std::vector<session::Gate>& gates) {
    Owned();
    const std::shared_lock lock(mutex_);
    if (!access_) throw ClosedError();
    std::vector<session::GateResult> results(gates.size());
    for (std::size_t i = 0; i < gates.size(); ++i) {
        results[i].gas = gates[i].gas;
        if (auto refused = access_->Check(gates[i])) {
            results[i].failure = session::GateFailure::BadGate;
            results[i].gate = std::move(*refused);
        }
    }
    return results;
}

std::vector<session::GateResult> Line::ReadMany(const std::vector<session::Gate>& gates) {
    Owned();
    const std::shared_lock lock(mutex_);
    if (!access_) throw ClosedError();
    return access_->ReadMany(gates);
}

std::map<unsigned, std::string> Line::Scan(const std::vector<unsigned>& stations, const std::atomic<bool>* cancel) {
    Owned();
    const std::unique_lock lock(mutex_);
    if (!access_) throw ClosedError();
    // The probes talk to the line themselves: the scheduler stops, and
    // starts again on the station models of the line afterwards.
    access_.reset();
    scheduler_->Stop();
    scheduler_.reset();
    std::map<unsigned, std::string> found;
    {
        const DirectoryKept kept;
        std::error_code ec;
        if (!workDir_.empty()) fs::current_path(workDir_, ec);
        session::StationProbe probe = host_->MakeProbe(session::ProbeReadTimeout(host_->line()));
        const int quick = static_cast<int>(settings_.probeTimeout * 1000 + 0.5);
        for (const unsigned station : stations) {
            if (cancel != nullptr && cancel->load()) break;  // the caller gave up: the line back to the scheduler
            if (station >= STATION_COUNT) continue;
            const session::ProbeAnswer answer = !settings_.driverRetries && !probe.Answers(station, quick)
                                                    ? session::ProbeAnswer::Silent
                                                    : probe.Probe(station);
            if (answer != session::ProbeAnswer::Silent) found[station] = session::ProbeAnswerName(answer);
        }
        host_->Reopen(host_->models(), 0);
        if (fs::current_path(ec) != kept.saved()) workDir_ = fs::current_path(ec).string();
    }
    Start();
    return found;
}

session::LineSnapshot Line::Stats() {
    Owned();
    const std::shared_lock lock(mutex_);
    if (!scheduler_) throw ClosedError();
    return scheduler_->Snapshot();
}

void Line::Close() {
    // A child closes nothing of its parent's line: it only lets go of it.
    if (Forked()) {
        Forget();
        return;
    }
    const std::unique_lock lock(mutex_);
    access_.reset();
    if (scheduler_) scheduler_->Stop();
    scheduler_.reset();
    if (checks_) checks_->Close();
    checks_.reset();
    if (host_) {
        const DirectoryKept kept;  // the work directory goes; the caller's stays
        host_.reset();
    }
    Release();
}

void Line::Release() {
    if (device_.empty()) return;
    const std::lock_guard lock(HeldMutex());
    HeldDevices().erase(device_);
    device_.clear();
}

bool Line::Closed() const {
    if (Forked()) return true;
    const std::shared_lock lock(mutex_);
    return !access_;
}

std::string Line::Describe() const {
    const std::string head = std::string("vuzorur.Line(") + "'" + settings_.port + "', baud=" + std::to_string(settings_.baud);
    if (Forked()) return head + ", of process " + std::to_string(owner_) + ")";
    const std::shared_lock lock(mutex_);
    return head + (access_ ? "" : ", closed") + ")";
}

}  // namespace qel::python
