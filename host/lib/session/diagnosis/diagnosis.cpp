#include "session/diagnosis/diagnosis.h"

namespace qel::session {

const char* HintKey(Hint hint) {
    switch (hint) {
        case Hint::PresetRange: return "preset_range";
        case Hint::ReadOnly: return "read_only";
        case Hint::ForceNotCleared: return "force_not_cleared";
        case Hint::UnknownModel: return "unknown_model";
        case Hint::UnservedRead: return "unserved_read";
        case Hint::NamedModelMismatch: return "named_model_mismatch";
        case Hint::LineSettings: return "line_settings";
        case Hint::TakenForFa2: return "taken_for_fa2";
        case Hint::SelectionOnly: return "selection_only";
        case Hint::SlowAnswer: return "slow_answer";
        case Hint::NoAnswer: return "no_answer";
        case Hint::StationRefused: return "station_refused";
    }
    return "station_refused";
}

DriverResult VerdictOf(Hint hint) {
    return hint == Hint::LineSettings || hint == Hint::SlowAnswer || hint == Hint::NoAnswer ? DriverResult::LineFailure
                                                                                           : DriverResult::Refused;
}

DriverResult Diagnosis::verdict() const { return VerdictOf(hint); }

}  // namespace qel::session
