#include "py_line.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <filesystem>
#include <mutex>

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

// What the session library reports while a line opens, kept for the caller.
struct ReportCapture {
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    ReportCapture() {
        session::SetReportSink([this](session::Severity severity, const std::string& text) {
            if (severity == session::Severity::Error) errors.push_back(text);
            else if (severity == session::Severity::Warning) warnings.push_back(text);
        });
    }
    ~ReportCapture() { session::SetReportSink({}); }
    ReportCapture(const ReportCapture&) = delete;
    ReportCapture& operator=(const ReportCapture&) = delete;
    std::string Errors(const std::string& otherwise) const {
        std::string text;
        for (const std::string& e : errors) text += (text.empty() ? "" : "; ") + e;
        return text.empty() ? otherwise : text;
    }
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

Line::Line(const LineSettings& settings) : settings_(settings) {
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
    ReportCapture reports;
    // The driver's messages go to the log file, or nowhere: never to the caller's stderr.
    if (!session::RouteDriverLog(false, settings.log.empty() ? "" : session::Absolute(settings.log)))
        throw OpenError("cannot write the log file " + settings.log, true);
    host_ = std::make_unique<session::HostContext>();
    const session::OpenResult opened = host_->Open(options);
    warnings_ = reports.warnings;
    if (std::error_code ec; fs::current_path(ec) != kept.saved()) workDir_ = fs::current_path(ec).string();
    if (opened != session::OpenResult::Ready) {
        const std::string why = reports.Errors("the line cannot be opened");
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
}

Line::~Line() { Close(); }

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

session::GateResult Line::Read(const std::string& gas, int count) {
    const std::shared_lock lock(mutex_);
    if (!access_) throw ClosedError();
    return access_->Read(gas, count);
}

session::GateResult Line::Write(const std::string& gas, long long value) {
    const std::shared_lock lock(mutex_);
    if (!access_) throw ClosedError();
    return access_->Write(gas, value);
}

std::shared_ptr<const session::TagTable> Line::LoadTags(const std::vector<common::TextLine>& lines,
                                                       const std::string& origin) {
    const std::shared_lock lock(mutex_);
    if (!access_) throw ClosedError();
    std::vector<session::ListedGate> listed;
    std::string error;
    auto tags = std::make_shared<session::TagTable>();
    if (!session::ParseGateList(lines, origin, listed, error) || !tags->Load(listed, *access_, origin, error))
        throw std::invalid_argument(error);
    if (tags->Empty()) throw std::invalid_argument(origin + ": the list names no tag; name one with tag=NAME");
    return tags;
}

session::TagResult Line::ReadTag(const session::TagTable& tags, const std::string& name) {
    const std::shared_lock lock(mutex_);
    if (!access_) throw ClosedError();
    return tags.Read(*access_, name);
}

session::TagResult Line::WriteTag(const session::TagTable& tags, const std::string& name, double value) {
    const std::shared_lock lock(mutex_);
    if (!access_) throw ClosedError();
    return tags.Write(*access_, name, value);
}

std::vector<session::GateResult> Line::Check(std::vector<session::Gate>& gates) {
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
    const std::shared_lock lock(mutex_);
    if (!access_) throw ClosedError();
    return access_->ReadMany(gates);
}

std::map<unsigned, std::string> Line::Scan(const std::vector<unsigned>& stations) {
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
        ReportCapture reports;
        std::error_code ec;
        if (!workDir_.empty()) fs::current_path(workDir_, ec);
        session::StationProbe probe = host_->MakeProbe(session::ProbeReadTimeout(host_->line()));
        const int quick = static_cast<int>(settings_.probeTimeout * 1000 + 0.5);
        for (const unsigned station : stations) {
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
    const std::shared_lock lock(mutex_);
    if (!scheduler_) throw ClosedError();
    return scheduler_->Snapshot();
}

void Line::Close() {
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
}

bool Line::Closed() const {
    const std::shared_lock lock(mutex_);
    return !access_;
}

std::string Line::Describe() const {
    const std::shared_lock lock(mutex_);
    return std::string("vuzorur.Line(") + "'" + settings_.port + "', baud=" + std::to_string(settings_.baud) +
           (access_ ? "" : ", closed") + ")";
}

}  // namespace qel::python
