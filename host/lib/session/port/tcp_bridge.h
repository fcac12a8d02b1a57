// A serial line reached over TCP (a terminal server, or socat on the machine
// with the port): a pseudo-terminal whose other side is copied to and from a
// TCP connection by a thread of its own. The driver opens the pty's slave as
// it opens any serial device.
#pragma once

#include <memory>
#include <string>

namespace qel::session {

// "tcp:HOST:PORT": true with the host and the port.
bool ParseTcpAddress(const std::string& text, std::string& host, std::string& port);
// A bare "HOST:PORT" (e.g. 127.0.0.1:15031) that is no file: a TCP address
// written without "tcp:".
bool LooksLikeTcpAddress(const std::string& text);

class TcpBridge {
public:
    TcpBridge();
    ~TcpBridge();
    TcpBridge(const TcpBridge&) = delete;
    TcpBridge& operator=(const TcpBridge&) = delete;

    // Connects to host:port, opens the pty and starts copying; false with a
    // reason that names the address.
    bool Start(const std::string& host, const std::string& port, std::string& error);
    // The pty's slave, for the driver: "/dev/pts/N".
    const std::string& SlavePath() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace qel::session
