#include "session/report/report.h"

#include <mutex>

namespace qel::session {

namespace {

std::mutex sinkMutex;
ReportSink sink;

}  // namespace

void SetReportSink(ReportSink replacement) {
    std::lock_guard lock(sinkMutex);
    sink = std::move(replacement);
}

void Report(Severity severity, const std::string& text) {
    std::lock_guard lock(sinkMutex);
    if (sink) sink(severity, text);
}

}  // namespace qel::session
