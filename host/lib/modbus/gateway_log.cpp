#include "modbus/gateway_log.h"

#include <cstdarg>
#include <cstdio>

namespace qel::modbus {

void LogV(const session::ReportSink& sink, session::Severity severity, const char* format, va_list arguments) {
    if (!sink) return;
    char message[512];
    std::vsnprintf(message, sizeof message, format, arguments);
    sink(severity, message);
}

void Log(const session::ReportSink& sink, session::Severity severity, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    LogV(sink, severity, format, arguments);
    va_end(arguments);
}

void ClientLog::Line(const std::string& host, const char* reason, const std::string& message) {
    const std::string quoted = std::string("'") + reason + "' from ";
    limit_.Line(quoted + host, message, Clock::now(), quoted + "other hosts");
}

}  // namespace qel::modbus
