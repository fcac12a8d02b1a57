// Diagnostics go to the host's logging function err(level, format, ...).
#pragma once

namespace qel {

// Levels the driver logs at: malformed protocol replies and the codec failure
// at 8, everything else at 32.
constexpr int LOG_PROTOCOL = 8;
constexpr int LOG_INFO = 32;

// Formats the message into a fixed buffer and hands the host the finished
// text, so host-supplied text (a gate address) never acts as a format.
void HostLog(int level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

}  // namespace qel
