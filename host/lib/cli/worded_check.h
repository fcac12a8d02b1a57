// The driver's gate check with the words of its refusals as a front-end
// gives them for one gate (GateDiagnosisText): the lists that name gates
// (write-allow, publish, poll, tags) then say why a gate of theirs is
// refused, with their file and line, in the words the same gate gets from
// qelhost, and the Modbus side says why it refused a write.
#pragma once

#include "cli/diagnosis_text.h"
#include "session/gates/write_allow.h"
#include "session/stations/model_file_check.h"

namespace qel::cli {

// A check on `checks` (a session the caller keeps, used on one thread at a
// time) whose refusals are diagnosed against these models and worded with
// these names.
session::GateCheck WordedGateCheck(session::QelSession& checks, const session::StationModels& models,
                                   const SettingNames& names = ProgramNames());

}  // namespace qel::cli
