// Finds out whether a station answers and which model it is, through the
// driver: a selection (the FORCE gate written with 0, which on a station
// taken for an FA-3 sends only the selection), then a read of DR0000 with the
// FA-3 frames and, when that fails, with the FA-2 frames. Each model refuses
// the other's read with a Nak.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "session/stations/model_file_check.h"
#include "session/driver/qel_session.h"

namespace qel::session {

enum class ProbeAnswer {
    Silent,    // no Ack to the selection
    Garbled,   // a Nak or garbled bytes to the selection
    FA2,       // the FA-2 read answered
    FA3,       // the FA-3 read answered
    Unknown,   // the selection answered, neither read did
};

const char* ProbeAnswerName(ProbeAnswer answer);  // "silent", "garbled", "FA2", "FA3", "unknown"

// The read time-out of a probe, in 10 ms units: 50 ms for the controller to
// turn round plus 20 characters at the line settings, or the probe's time-out
// (--probe-timeout) when that is longer.
int ProbeReadTimeout(const LineOptions& line, int probeTimeoutMs = 0);

// The longest wait for a selection's answer before a station counts as
// silent when the question is whether it is merely slow.
constexpr int kSlowLookMs = 1000;

// A --probe-timeout that serves a station that answered after tookMs: twice
// that, rounded up to 50 ms.
int ProbeTimeoutFor(int tookMs);

class StationProbe {
public:
    // Puts these station models in place and initialises the QEL again with
    // this read time-out (10 ms units): the driver's result.
    using Reopen = std::function<DriverResult(const StationModels& models, int readTimeout)>;
    StationProbe(QelSession& session, Reopen reopen, int readTimeout);
    ProbeAnswer Probe(unsigned station);
    // One selection, one attempt, waiting at most timeoutMs (raised to the
    // driver's floor): false only when nothing at all came back. A quick
    // look before Probe's full attempts. tookMs, when given: how long the
    // attempt took when the station acknowledged the selection, else -1.
    bool Answers(unsigned station, int timeoutMs, int* tookMs = nullptr);
    // How long the station takes to acknowledge its selection, waiting at
    // most timeoutMs: a second look when the first came back garbled (the
    // late reply to an earlier question may still be on its way); without
    // an acknowledgement, the time of the last look. Nothing: silent.
    std::optional<int> AnswerTime(unsigned station, int timeoutMs);

private:
    bool Prepare(int fa2Station);

    QelSession& session_;
    Reopen reopen_;
    int readTimeout_;
    int preparedFor_ = -2;  // the station taken for FA2 in the QEL now; -1: none
};

}  // namespace qel::session
