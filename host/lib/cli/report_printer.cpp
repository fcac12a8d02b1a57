#include "cli/report_printer.h"

#include <cstdio>

#include "session/report/program_name.h"

namespace qel::cli {

namespace {

// Set once at the start of main, before any thread of the libraries runs.
session::ReportSink printer;

}  // namespace

void PrintReports(const char* programName, bool infos) {
    session::SetProgramName(programName);
    printer = [infos](session::Severity severity, const std::string& text) {
        // One call per line: lines from two threads do not mix.
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
    };
}

const session::ReportSink& Printer() { return printer; }

}  // namespace qel::cli
