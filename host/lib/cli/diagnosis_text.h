// The words for the session library's diagnoses, with the settings that
// mend them as the front-end names them: the programs' options (--station,
// --bit, --count, --baud ...), or Python's parameters (stations=,
// probe_timeout=, ...). One line each, without the program's name.
#pragma once

#include <functional>
#include <string>

#include "session/diagnosis/diagnosis.h"
#include "session/diagnosis/gate_diagnosis.h"
#include "session/driver/qel_session.h"

namespace qel::cli {

// How a front-end names the settings a diagnosis tells the user to change.
struct SettingNames {
    std::function<std::string(unsigned station, const std::string& model)> station;  // "--station 2:FA3"
    std::string lineSettings;                             // "--baud, --parity, --data-bits and --stop-bits"
    std::function<std::string(int ms)> probeTimeout;      // "--probe-timeout to 300"
    std::function<std::string(int ms)> timeout;           // "--timeout to 30"
    std::string scan;                                     // "qelhost scan": what lists the stations that answer
    std::string scanTellsTimeOut;                         // " (qelhost scan finds slow stations ...)", or empty
    std::string bit, word;                                // "--bit", "--word"; empty: the type follows the area
    std::string count;                                    // "--count N"
    std::string models;                                   // "--models FILE": what names a station model file
};

// The programs' options.
const SettingNames& ProgramNames();

// "the read of 001DR0010 failed: no answer from station 1 on ttyUSB0 (...)".
std::string DiagnosisText(const session::Diagnosis& diagnosis, const SettingNames& names = ProgramNames());

// What a probe found of a station served as the other model than it answers
// as (session::HostContext::DiagnoseModel): "station 42 answers as an FA-3
// but is served as an FA-2: add --station 42:FA3"; empty when it found no
// such thing.
std::string ServedModelText(const session::Diagnosis& diagnosis);

// "gate 001DR0400 is illegal: element 400 is outside DR on station 1, an FA2 (legal: 0-399)".
std::string GateDiagnosisText(const session::GateDiagnosis& diagnosis, const SettingNames& names = ProgramNames());

// Where a station's model came from: "station 2 is named FA3 on line 3 of
// stations.int", "... by --station 2:FA3", or "station 1 is an FA2 by
// default: ..." with why and how to name it.
std::string ModelOriginText(unsigned station, const std::string& model, const session::ModelOrigin& origin,
                            const SettingNames& names = ProgramNames());

// Why the driver refuses to read a gate its check accepts (session::UnservedRead).
std::string UnservedReadText();

// "9600 baud, 8 data bits, even parity, 1 stop bit".
std::string LineSettingsText(const session::LineOptions& line);

}  // namespace qel::cli
