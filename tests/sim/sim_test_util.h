// Helpers shared by the simulator tests: unique link paths and a raw client.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

namespace fasim::simtest {

// At most 11 characters, unique per process and call.
inline std::string UniqueLink() {
  static std::atomic<int> counter{0};
  const int n = counter++;
  return "/tmp/s" + std::to_string(getpid() % 10000) + static_cast<char>('a' + n % 26);
}

class RawClient {
 public:
  explicit RawClient(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ >= 0) {
      termios t{};
      tcgetattr(fd_, &t);
      cfmakeraw(&t);
      tcsetattr(fd_, TCSANOW, &t);
      tcflush(fd_, TCIOFLUSH);
    }
  }
  explicit RawClient(int fd) : fd_(fd) {}
  ~RawClient() {
    if (fd_ >= 0) close(fd_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool Write(const std::string& s) { return write(fd_, s.data(), s.size()) == static_cast<ssize_t>(s.size()); }

  // Reads until `count` bytes arrived or `timeoutMs` passed.
  std::string Read(std::size_t count, int timeoutMs = 2000) {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[256];
      const ssize_t n = read(fd_, buf, std::min(sizeof buf, count - out.size()));
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

  // Reads until nothing arrives for `quietMs`.
  std::string ReadQuiet(int quietMs = 60) {
    std::string out;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, quietMs) <= 0) break;
      char buf[256];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

  std::string Exchange(const std::string& frame, std::size_t replyLength) {
    if (!Write(frame)) return {};
    return Read(frame.size() + replyLength);
  }

 private:
  int fd_ = -1;
};

}  // namespace fasim::simtest
