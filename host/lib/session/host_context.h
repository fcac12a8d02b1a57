// What every command of a host program shares: the loaded driver, the
// station models checked and put in place, an initialised QEL, and the
// diagnosis of a failed read or write. The driver's integers end here: what
// goes out is DriverResult, Outcome and Diagnosis. It prints nothing: what
// it has to say goes to the report sink (report.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "session/diagnosis/diagnosis.h"
#include "session/driver/driver_library.h"
#include "session/driver/driver_result.h"
#include "session/diagnosis/gate_diagnosis.h"
#include "session/line/line_scheduler.h"
#include "session/stations/model_file_check.h"
#include "session/driver/qel_session.h"
#include "session/session_options.h"
#include "session/port/tcp_bridge.h"
#include "session/report/report.h"

namespace qel::session {

// What became of Open: the QEL is ready; a setting the user gave cannot be
// used (a model file that cannot be read, a port name that cannot be); or
// the port or the line failed.
enum class OpenResult { Ready, BadSetting, LineFailure };

// Which setting the user gave a failed Open points at, so that each program
// names its own option for it (qelhost's --driver, Python's driver=): the
// driver that did not load, a port written as a line over TCP but not in
// its form, a HOST:PORT written without tcp:, or line settings the device
// refused. The error report states the fact without naming an option.
enum class OpenFault { None, Driver, TcpForm, TcpWithoutPrefix, LineSettings };

class HostContext {
public:
    // report: where this context, its line scheduler and its attempts say
    // what they have to say (report.h); empty for nothing.
    explicit HostContext(ReportSink report = {}) : report_(std::move(report)) {}
    ~HostContext();
    HostContext(const HostContext&) = delete;
    HostContext& operator=(const HostContext&) = delete;
    // Loads the driver; false after an error report on failure.
    bool LoadDriver(const SessionOptions& options);
    // Checks the station model file (a warning report with file:line for
    // each doubtful line), puts the models in place and initialises the QEL;
    // on failure an error report says what to do.
    OpenResult Open(const SessionOptions& options);
    // Initialises the QEL again with these models, then sets the read
    // time-out (10 ms units) when it is above 0.
    DriverResult Reopen(const StationModels& models, int readTimeout);

    // The driver's gate check; DiagnoseGate tells why it refused one.
    DriverResult CheckGate(Gate& gate);
    GateDiagnosis DiagnoseGate(const Gate& gate);
    // A read through the line scheduler (its attempts, time-outs and station
    // health); a write as the driver does it (its own attempts and log). The
    // write's failure kind is None unless the gate and value tell it: the
    // driver's own loop does not say.
    Outcome Read(const Gate& gate, std::vector<std::uint16_t>& values);
    Outcome Write(const Gate& gate, std::uint16_t value);
    // Why a read or a write of this gate failed with this outcome, after
    // asking the station what it is when that helps (which stops the
    // scheduler). value: the value written.
    Diagnosis Diagnose(const Gate& gate, const Outcome& outcome, bool write, std::uint16_t value = 0);

    // Asks the station which model it answers as (a probe, which reopens the
    // QEL) and puts the line back as it was, models and working directory:
    // a diagnosis whose hint is NamedModelMismatch or TakenForFa2 when the
    // station answers as the other model than it is served as, else
    // StationRefused. For a caller that owns the line between its attempts
    // (the line scheduler's thread), not while the scheduler runs elsewhere.
    Diagnosis DiagnoseModel(unsigned station);
    // The line settings a reopen put in place since Open (a reload of the
    // port settings), for the reopens that follow.
    void UseLine(const LineOptions& line) { line_ = line; }
    // The name the driver is given for a port the user named, for a reopen
    // on other port settings: a bare name (ttyUSB0, which the driver takes
    // under /dev) as it is; a path absolute; a path longer than the driver's
    // 11 characters the link "./line" in this session's own directory, made
    // (or pointed anew) now. False with the reason when no link can be made.
    bool DriverPortFor(const std::string& port, std::string& name, std::string& error);

    // The models the user's file and --station options give.
    const StationModels& models() const { return models_; }
    // What a failed Open or LoadDriver points at (None after any other failure).
    OpenFault openFault() const { return fault_; }
    // The line as the driver was given it, and the port as the user named it.
    const LineOptions& line() const { return line_; }
    const std::string& portName() const { return port_; }
    // The port's device as Open found it: a bare name as named, a path
    // absolute from where the program started (a pty's for tcp:HOST:PORT).
    const std::string& portPath() const { return portPath_; }

    DriverLibrary driver;
    QelSession& session() { return *session_; }
    // The line scheduler on this session, started on first use. While it
    // runs, the line is its own: use session() only after StopScheduler.
    LineScheduler& scheduler();
    void StopScheduler();
    // A probe of this session's stations (station_probe.h), reopening the
    // QEL with the models it needs through Reopen.
    class StationProbe MakeProbe(int readTimeout);

private:
    bool EnterWorkDirectory(std::string& error);
    bool PutModels(const std::string& text, std::string& error);
    // Points the session directory's "./line" at target.
    bool LinkLine(const std::string& target, std::string& error);
    // The model a probe finds the station answers as: FA2, FA3, or Other
    // when it does not tell.
    StationKind AnswersAs(unsigned station, bool& selectionOnly);

    void Fail(const std::string& text) const { Report(report_, Severity::Error, text); }

    ReportSink report_;
    std::unique_ptr<TcpBridge> bridge_;
    std::unique_ptr<QelSession> session_;
    std::unique_ptr<LineScheduler> scheduler_;
    SchedulerOptions schedulerOptions_;
    std::string modelSource_;
    std::string workDir_;
    LineOptions line_;
    std::string port_;
    std::string portPath_;
    std::string linkTarget_;  // where "./line" points, while the driver is given it
    StationModels models_;
    OpenFault fault_ = OpenFault::None;
};

// A warning report "FILE:LINE: ..." for each warning.
void ReportModelWarnings(const ReportSink& sink, const std::string& file, const StationModels& models);

}  // namespace qel::session
