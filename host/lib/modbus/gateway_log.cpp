#include "modbus/gateway_log.h"

#include <cstdarg>
#include <cstdio>

namespace qel::modbus {

void Log(const char* format, ...) {
    char message[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "qelgate: %s\n", message);  // one call: lines from two threads do not mix
}

void ClientLog::Line(const std::string& host, const char* reason, const std::string& message) {
    const std::string quoted = std::string("'") + reason + "' from ";
    limit_.Line(quoted + host, message, Clock::now(), quoted + "other hosts");
}

}  // namespace qel::modbus
