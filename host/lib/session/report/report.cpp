#include "session/report/report.h"

namespace qel::session {

void Report(const ReportSink& sink, Severity severity, const std::string& text) {
    if (sink) sink(severity, text);
}

}  // namespace qel::session
