#include "gateway_log.h"

#include <cstdarg>
#include <cstdio>

namespace qelgate {

void Log(const char* format, ...) {
    char message[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    std::fprintf(stderr, "qelgate: %s\n", message);  // one call: lines from two threads do not mix
}

}  // namespace qelgate
