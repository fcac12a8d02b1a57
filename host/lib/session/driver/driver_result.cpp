#include "session/driver/driver_result.h"

namespace qel::session {

const char* DriverResultName(DriverResult result) {
    switch (result) {
        case DriverResult::Done: return "done";
        case DriverResult::Refused: return "refused";
        case DriverResult::LineFailure: return "line failure";
    }
    return "line failure";
}

}  // namespace qel::session
