#include "cli/report_printer.h"

#include <cstdio>

#include "session/report/program_name.h"
#include "session/report/report.h"

namespace qel::cli {

void PrintReports(const char* programName, bool infos) {
    session::SetProgramName(programName);
    session::SetReportSink([infos](session::Severity severity, const std::string& text) {
        switch (severity) {
            case session::Severity::DriverLog: std::fprintf(stderr, "%s\n", text.c_str()); break;
            case session::Severity::Warning:
                std::fprintf(stderr, "%swarning: %s\n", session::MessageHead().c_str(), text.c_str());
                break;
            case session::Severity::Info:
                if (!infos) break;
                [[fallthrough]];
            case session::Severity::Error:
                std::fprintf(stderr, "%s%s\n", session::MessageHead().c_str(), text.c_str());
                break;
        }
    });
}

}  // namespace qel::cli
