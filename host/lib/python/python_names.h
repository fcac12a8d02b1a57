// The words of the diagnoses name Line's own parameters (stations=,
// probe_timeout=, models=), never a program's options.
#pragma once

#include "cli/diagnosis_text.h"

namespace qel::python {

const cli::SettingNames& PythonNames();

}  // namespace qel::python
