// The words for the session library's diagnoses, with the program's options
// that mend them (--station, --bit, --count, --baud ...). One line each,
// without the program's name.
#pragma once

#include <string>

#include "session/diagnosis/diagnosis.h"
#include "session/diagnosis/gate_diagnosis.h"
#include "session/driver/qel_session.h"

namespace qel::cli {

// "the read of 001DR0010 failed: no answer from station 1 on ttyUSB0 (...)".
std::string DiagnosisText(const session::Diagnosis& diagnosis);

// What a probe found of a station served as the other model than it answers
// as (session::HostContext::DiagnoseModel): "station 42 answers as an FA-3
// but is served as an FA-2: add --station 42:FA3"; empty when it found no
// such thing.
std::string ServedModelText(const session::Diagnosis& diagnosis);

// "gate 001DR0400 is illegal: element 400 is outside DR on station 1, an FA2 (legal: 0-399)".
std::string GateDiagnosisText(const session::GateDiagnosis& diagnosis);

// Why the driver refuses to read a gate its check accepts (session::UnservedRead).
std::string UnservedReadText();

// "9600 baud, 8 data bits, even parity, 1 stop bit".
std::string LineSettingsText(const session::LineOptions& line);

}  // namespace qel::cli
