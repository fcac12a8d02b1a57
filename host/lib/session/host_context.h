// What every command of a host program shares: the loaded driver, the
// station models checked and put in place, an initialised QEL, and messages
// that say what went wrong and what to do.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "session/driver_library.h"
#include "session/line_scheduler.h"
#include "session/model_file_check.h"
#include "session/qel_session.h"
#include "session/session_options.h"
#include "session/tcp_bridge.h"

namespace qel::session {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;  // the driver's 1: refused or illegal
constexpr int kExitLine = 2;     // the driver's 2: port or line failure
constexpr int kExitUsage = 64;

class HostContext {
public:
    ~HostContext();
    // Loads the driver; one line on stderr and false on failure.
    bool LoadDriver(const SessionOptions& options);
    // Checks the station model file (warnings with file:line on stderr), puts
    // the models in place and initialises the QEL: 0, kExitUsage, or the
    // driver's result with one line on stderr that says what to do.
    int Open(const SessionOptions& options);
    // Initialises the QEL again with these models, then sets the read
    // time-out (10 ms units) when it is above 0. The driver's result.
    int Reopen(const StationModels& models, int readTimeout);

    // Checks a gate: 0, or 1 with a line that explains the address on stderr.
    int CheckGate(Gate& gate, bool quiet = false);
    // A read through the line scheduler (its attempts, time-outs and station
    // health), remembering the driver's messages of this call; a write as the
    // driver does it.
    int Read(const Gate& gate, std::vector<std::uint16_t>& values);
    int Write(const Gate& gate, std::uint16_t value);
    // One line on stderr for a failed read or write, after finding out what
    // the station answers when that helps; the exit code to give.
    int ReportFailure(const char* what, const Gate& gate, int result);

    // The models the user's file and --station options give.
    const StationModels& models() const { return models_; }
    // The line as the driver was given it, and the port as the user named it.
    const LineOptions& line() const { return line_; }
    const std::string& portName() const { return port_; }

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
    std::string LineSettingsText() const;

    // Why a station Naked a frame of the model it was named as, when a probe
    // finds it is the other model; empty otherwise.
    std::string NamedModelMismatch(unsigned station);

    std::unique_ptr<TcpBridge> bridge_;
    std::unique_ptr<QelSession> session_;
    std::unique_ptr<LineScheduler> scheduler_;
    SchedulerOptions schedulerOptions_;
    std::string modelSource_;
    std::string workDir_;
    LineOptions line_;
    std::string port_;
    StationModels models_;
};

// "qelhost: warning: FILE:LINE: ..." for each warning.
void PrintModelWarnings(const std::string& file, const StationModels& models);

}  // namespace qel::session
