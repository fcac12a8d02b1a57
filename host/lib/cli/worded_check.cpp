#include "cli/worded_check.h"

#include "session/diagnosis/gate_diagnosis.h"

namespace qel::cli {

session::GateCheck WordedGateCheck(session::QelSession& checks, const session::StationModels& models,
                                   const SettingNames& names) {
    // The models are copied: a reload's new list may outlive the context
    // that read them. The names are the program's or the module's statics.
    return session::GateCheck(
        [&checks](session::Gate& gate) { return checks.Check(gate) == session::DriverResult::Done; },
        [&checks, models, &names](const session::Gate& gate) {
            return GateDiagnosisText(session::DiagnoseGate(checks, gate, models), names);
        });
}

}  // namespace qel::cli
