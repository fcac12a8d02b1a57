#include "control_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "fasim.h"

namespace fasim {
namespace {

bool WriteAll(int fd, const std::string& s) {
  std::size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = write(fd, s.data() + done, s.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Runs every complete line in `buffer`, answering on `out`.
bool RunLines(Simulator& sim, std::string& buffer, int out) {
  std::size_t nl;
  while ((nl = buffer.find('\n')) != std::string::npos) {
    std::string line = buffer.substr(0, nl);
    buffer.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    if (!WriteAll(out, sim.Execute(line) + "\n")) return false;
  }
  return buffer.size() < 4096;
}

}  // namespace

bool ServeControl(Simulator& sim, const ControlChannels& channels, int stopFd, std::string& error) {
  int listenFd = -1;
  if (!channels.socketPath.empty()) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (channels.socketPath.size() >= sizeof addr.sun_path) {
      error = "control socket path too long: " + channels.socketPath;
      return false;
    }
    std::memcpy(addr.sun_path, channels.socketPath.c_str(), channels.socketPath.size() + 1);
    listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unlink(channels.socketPath.c_str());
    if (listenFd < 0 || bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listenFd, 4) != 0) {
      error = "cannot listen on control socket " + channels.socketPath + ": " + std::strerror(errno);
      if (listenFd >= 0) close(listenFd);
      return false;
    }
  }

  std::string stdinBuffer;
  bool stdinOpen = channels.useStdin;
  std::map<int, std::string> clients;
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back({stopFd, POLLIN, 0});
    if (stdinOpen) fds.push_back({STDIN_FILENO, POLLIN, 0});
    if (listenFd >= 0) fds.push_back({listenFd, POLLIN, 0});
    for (const auto& [fd, buf] : clients) fds.push_back({fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    bool stop = false;
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      const int fd = fds[i].fd;
      if (fd == listenFd) {
        const int c = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) clients[c];
        continue;
      }
      char buf[1024];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (fd == STDIN_FILENO) {
        if (n <= 0) {
          stop = true;  // standard input ended: the program ends
          break;
        }
        stdinBuffer.append(buf, static_cast<std::size_t>(n));
        RunLines(sim, stdinBuffer, STDOUT_FILENO);
        continue;
      }
      if (n <= 0 || !RunLines(sim, clients[fd].append(buf, static_cast<std::size_t>(n)), fd)) {
        close(fd);
        clients.erase(fd);
      }
    }
    if (stop) break;
  }
  for (const auto& [fd, buf] : clients) close(fd);
  if (listenFd >= 0) {
    close(listenFd);
    unlink(channels.socketPath.c_str());
  }
  return true;
}

}  // namespace fasim
