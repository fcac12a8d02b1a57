#include "session/port/tcp_bridge.h"

#include <sys/stat.h>

#include <cctype>

#if !defined(_WIN32)
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#endif

namespace qel::session {

bool ParseTcpAddress(const std::string& text, std::string& host, std::string& port) {
    if (text.rfind("tcp:", 0) != 0) return false;
    const std::string rest = text.substr(4);
    const auto colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size()) return false;
    host = rest.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    port = rest.substr(colon + 1);
    return true;
}

bool LooksLikeTcpAddress(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    if (text.find('/') != std::string::npos || text.rfind("tcp:", 0) == 0) return false;
    for (std::size_t i = colon + 1; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    struct stat st {};
    return stat(text.c_str(), &st) != 0;
}

#if defined(_WIN32)
struct TcpBridge::State {
    std::string slave;
};
TcpBridge::TcpBridge() : state_(std::make_unique<State>()) {}
TcpBridge::~TcpBridge() = default;
bool TcpBridge::Start(const std::string&, const std::string&, std::string& error) {
    error = "a TCP line (tcp:HOST:PORT) needs a pseudo-terminal, which Windows has not; use a virtual COM port";
    return false;
}
const std::string& TcpBridge::SlavePath() const { return state_->slave; }
#else
struct TcpBridge::State {
    int master = -1;
    int slave = -1;  // kept open, so that the master sees no hang-up between the driver's opens
    int socket = -1;
    int stop[2] = {-1, -1};
    std::string slavePath;
    std::thread copier;

    ~State() {
        if (copier.joinable()) {
            const char wake = 0;
            (void)!::write(stop[1], &wake, 1);
            copier.join();
        }
        for (const int fd : {master, slave, socket, stop[0], stop[1]}) {
            if (fd >= 0) ::close(fd);
        }
    }

    // Writes all of it; false when the other side is gone.
    static bool WriteAll(int fd, const char* data, ssize_t size) {
        while (size > 0) {
            const ssize_t n = ::write(fd, data, static_cast<std::size_t>(size));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            size -= n;
        }
        return true;
    }

    void Copy() {
        pollfd fds[3] = {{master, POLLIN, 0}, {socket, POLLIN, 0}, {stop[0], POLLIN, 0}};
        char buffer[512];
        for (;;) {
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[2].revents != 0) return;
            if (fds[0].revents & POLLIN) {
                const ssize_t n = ::read(master, buffer, sizeof buffer);
                if (n > 0 && !WriteAll(socket, buffer, n)) return;
            }
            if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::read(socket, buffer, sizeof buffer);
                // The far end closed: the driver then sees a line that does
                // not answer, which is what it is.
                if (n <= 0) fds[1].fd = -1;
                else if (!WriteAll(master, buffer, n)) return;
            }
        }
    }
};

TcpBridge::TcpBridge() : state_(std::make_unique<State>()) {}
TcpBridge::~TcpBridge() = default;

bool TcpBridge::Start(const std::string& host, const std::string& port, std::string& error) {
    State& s = *state_;
    const std::string where = host + ":" + port;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        error = "cannot reach tcp:" + where + ": " + ::gai_strerror(rc);
        return false;
    }
    int lastErrno = 0;
    for (const addrinfo* a = found; a != nullptr && s.socket < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            s.socket = fd;
        } else {
            lastErrno = errno;
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    if (s.socket < 0) {
        error = "cannot connect to tcp:" + where + ": " + std::strerror(lastErrno) +
                " (is the serial server or socat listening there?)";
        return false;
    }
    termios raw{};
    ::cfmakeraw(&raw);
    char name[64] = {};
    if (::openpty(&s.master, &s.slave, name, &raw, nullptr) != 0 || ::pipe2(s.stop, O_CLOEXEC) != 0) {
        error = std::string("cannot make a pseudo-terminal for tcp:") + where + ": " + std::strerror(errno);
        return false;
    }
    ::fcntl(s.master, F_SETFD, FD_CLOEXEC);
    ::fcntl(s.slave, F_SETFD, FD_CLOEXEC);
    s.slavePath = name;
    s.copier = std::thread([&s] { s.Copy(); });
    return true;
}

const std::string& TcpBridge::SlavePath() const { return state_->slavePath; }
#endif

}  // namespace qel::session
