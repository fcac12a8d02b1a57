// Why a read or a write failed, as a value: the driver's outcome, which hint
// applies, and the facts behind it. The session finds them out (asking the
// station itself when that helps); the programs put them into words.
#pragma once

#include <cstdint>
#include <string>

#include "session/driver/driver_result.h"
#include "session/driver/qel_session.h"
#include "session/stations/station_kind.h"

namespace qel::session {

enum class Hint {
    PresetRange,         // a counter or timer preset takes 0 to 9999
    ReadOnly,            // the driver has no write frame for the gate's area
    ForceNotCleared,     // the station did not confirm the end of force mode
    UnknownModel,        // the station model file gives the station a model the driver does not know
    UnservedRead,        // a WO block of an FA-3: the driver has no read frame for it
    NamedModelMismatch,  // the station answers as the other model than it is named
    LineSettings,        // an echo that differs or a garbled reply: the line settings may differ
    TakenForFa2,         // no model names the station, and it answers as an FA-3
    SelectionOnly,       // the station answers its selection but not this read
    SlowAnswer,          // the station answers, but later than the read waited
    NoAnswer,            // nothing came back from the station
    StationRefused,      // the station answered with a Nak or a malformed answer
};
constexpr int kHintCount = 12;

// "preset_range", "read_only", ...: for logs and tests.
const char* HintKey(Hint hint);

struct Diagnosis {
    bool write = false;  // a write, else a read
    std::string gas;     // the gate as the user wrote it
    unsigned station = 0;
    Outcome outcome;     // what the driver gave (failure None: the driver's own loop does not say)
    Hint hint = Hint::StationRefused;

    // The facts behind the hint.
    std::string model;                            // the model text the QEL holds for the station
    StationKind namedAs = StationKind::Other;     // the model it is named as
    StationKind answersAs = StationKind::Other;   // the model a probe found it answers as
    bool namedByOption = false;                   // named by a station option rather than the model file
    std::string modelFile;                        // the station model file read, if any
    int modelLine = 0;                            // its line that names the station; 0: none known
    std::string port;                             // the port as the user named it
    LineOptions line;                             // the line settings and the time-out in use
    int probeTimeoutMs = 0;  // what a station without a recent answer is given (--probe-timeout)
    int answeredAfterMs = 0; // SlowAnswer: how long the station took to answer a selection

    // What the failure amounts to: the line's fault (LineFailure) when the
    // station did not answer or the line garbled it, else Refused.
    DriverResult verdict() const;
};

// The result a hint amounts to (see Diagnosis::verdict).
DriverResult VerdictOf(Hint hint);

}  // namespace qel::session
