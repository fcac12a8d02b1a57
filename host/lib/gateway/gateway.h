// The gateway that owns one serial line: the line's session and scheduler,
// and the front-ends on it as its parts (Modbus TCP, the HTTP diagnostics
// and gate API, MQTT, Sparkplug B, the background poll). Start opens the
// line and every front-end and serves on threads of its own; Reload reads
// the configuration again and applies what changed without closing the
// Modbus clients; Stop finishes the requests begun on the line and closes
// everything. A program keeps the arguments, the signals and the exit codes.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "gateway/gate_options.h"
#include "session/host_context.h"

namespace qel::gateway {

// On a stop, and before a reload reopens the line, the requests begun on
// the line are finished for at most this long (well inside a service's
// TimeoutStopSec of 15 s).
constexpr std::chrono::milliseconds kFinishBegun{8000};

enum class ReloadResult { Applied, Refused };
struct ReloadOutcome {
    ReloadResult result = ReloadResult::Refused;
    std::string text;  // Applied: what changed; Refused: why
};

struct GatewayParts;

class Gateway {
public:
    // `commandLine` (without the program's name) is read again at each
    // reload, its relative paths taken from the working directory now
    // (AbsoluteCommandLine); `options` is what LoadOptions gave for it, every
    // path in it absolute already, so the session's move into a folder of
    // its own changes the meaning of none.
    // `report`: where the gateway says what it does (its start, reloads,
    // stations, the front-ends' lines); empty for silence.
    Gateway(std::vector<std::string> commandLine, Options options, session::ReportSink report = {});
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Opens the line and every front-end and starts serving. Ready, or
    // BadSetting (a setting or a file that cannot be used) or LineFailure
    // (the port, or an address that cannot be listened on), with the reason
    // in error unless the session's report said it already.
    session::OpenResult Start(std::string& error);
    // Reads the configuration again and checks all of it (every file it
    // names) before anything of the running one is let go; applies it
    // between two turns of the Modbus loop. A refusal leaves the gateway as
    // it was. Each outcome is logged and counted in the diagnostics.
    ReloadOutcome Reload();
    // Takes no new requests, finishes those begun on the line (for at most
    // finishBegun), answers them and closes everything. False when a write
    // was cut off by the bound (the log names the gates it reached).
    bool Stop(std::chrono::milliseconds finishBegun = kFinishBegun);

    // The diagnostics' address ("http://HOST:PORT/"), empty without --http.
    std::string HttpUrl() const;

private:
    std::unique_ptr<GatewayParts> parts_;
};

}  // namespace qel::gateway
