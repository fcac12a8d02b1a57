#include "cli/exit_codes.h"

namespace qel::cli {

int ExitCode(session::DriverResult result) {
    switch (result) {
        case session::DriverResult::Done: return kExitOk;
        case session::DriverResult::Refused: return kExitRefused;
        case session::DriverResult::LineFailure: return kExitLine;
    }
    return kExitLine;
}

int ExitCode(session::OpenResult result) {
    switch (result) {
        case session::OpenResult::Ready: return kExitOk;
        case session::OpenResult::BadSetting: return kExitUsage;
        case session::OpenResult::LineFailure: return kExitLine;
    }
    return kExitLine;
}

}  // namespace qel::cli
