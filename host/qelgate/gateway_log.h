// The gateway's own messages: one line each on stderr, "qelgate: ...".
#pragma once

namespace qelgate {

void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qelgate
