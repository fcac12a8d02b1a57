#include "cli/setting_words.h"

#include "cli/exit_codes.h"
#include "cli/report_printer.h"

namespace qel::cli {

std::string StationModelWords(const std::string& text, session::StationModelFault fault) {
    switch (fault) {
        case session::StationModelFault::None: return {};
        case session::StationModelFault::Station:
            return "--station " + text + ": write a station 0 to 255 and a model, e.g. --station 2:FA3";
        case session::StationModelFault::Model: return "--station " + text + ": the model is FA2 or FA3";
    }
    return {};
}

std::string StationListWords(const std::string& option, const std::string& text) {
    return option + " " + text + ": write stations 0 to 255 as a range or a list, e.g. 0-255 or 1,2,10-20";
}

std::string OpenFaultWords(session::OpenFault fault, const std::string& port) {
    switch (fault) {
        case session::OpenFault::None: return {};
        case session::OpenFault::Driver: return "name another driver with --driver PATH";
        case session::OpenFault::TcpForm: return "write a line over TCP as --port tcp:HOST:PORT";
        case session::OpenFault::TcpWithoutPrefix: return "for a line over TCP write --port tcp:" + port;
        case session::OpenFault::LineSettings: return "check --baud, --data-bits, --parity and --stop-bits";
    }
    return {};
}

int OpenFailed(const session::HostContext& host, session::OpenResult result) {
    const std::string words = OpenFaultWords(host.openFault(), host.portName());
    if (!words.empty()) session::Report(Printer(), session::Severity::Error, words);
    return ExitCode(result);
}

}  // namespace qel::cli
