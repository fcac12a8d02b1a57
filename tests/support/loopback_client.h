// A plain TCP client of a server on this machine, for the suites of the
// servers (HTTP, with or without TLS): connect, send, and what comes back
// until the server closes or the time is up. No GoogleTest in it.
#pragma once

#include <string>

namespace testsupport {

// A connected socket to 127.0.0.1:port, or -1.
int ConnectLoopback(int port);

// What the server sends until it closes or `seconds` pass; closed: whether
// it closed (rather than the time running out).
std::string ReadUntilClosed(int fd, double seconds, bool* closed = nullptr);

}  // namespace testsupport
