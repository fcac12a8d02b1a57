#include "line.h"


#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

namespace fasim {
namespace {

std::string Errno(const std::string& what) { return what + ": " + std::strerror(errno); }

bool MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool BaudConstant(unsigned baud, speed_t& out) {
  struct Pair {
    unsigned baud;
    speed_t speed;
  };
  static const Pair kSpeeds[] = {
      {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
      {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
      {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
      {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
  };
  for (const Pair& p : kSpeeds)
    if (p.baud == baud) {
      out = p.speed;
      return true;
    }
  return false;
}

}  // namespace

unsigned BitsPerCharacter(const LineSettings& line) {
  const unsigned parity = (line.parity == 'N' || line.parity == 'n') ? 0u : 1u;
  return 1 + line.dataBits + parity + line.stopBits;
}

std::chrono::nanoseconds CharacterTime(const LineSettings& line) {
  if (!line.paced || line.baud == 0) return std::chrono::nanoseconds(0);
  const unsigned long long bits = BitsPerCharacter(line);
  // Round up so that the pacing never runs faster than the line.
  return std::chrono::nanoseconds((bits * 1000000000ULL + line.baud - 1) / line.baud);
}

std::string LinkLockPath(const std::string& linkPath) { return linkPath + ".lock"; }

namespace {

// Takes the link's lock: its descriptor, or -1 with `error` naming the
// simulator that holds it. A lock file removed by its last holder between
// our open and our lock is opened again.
int LockLink(const std::string& linkPath, std::string& error) {
  const std::string path = LinkLockPath(linkPath);
  for (int tries = 0; tries < 10; ++tries) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      error = Errno("open " + path);
      return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int lockError = errno;
      std::array<char, 32> text{};
      const ssize_t n = pread(fd, text.data(), text.size() - 1, 0);
      close(fd);
      if (lockError != EWOULDBLOCK) {
        errno = lockError;
        error = Errno("lock " + path);
        return -1;
      }
      const long pid = n > 0 ? std::strtol(text.data(), nullptr, 10) : 0;
      std::vector<char> target(256);
      const ssize_t t = readlink(linkPath.c_str(), target.data(), target.size() - 1);
      error = "'" + linkPath + "' is the line of a running program: it points to " +
              (t > 0 ? std::string(target.data(), static_cast<std::size_t>(t)) : std::string("a device")) +
              ", held by fasim" + (pid > 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
              "; stop that program or give another --link";
      return -1;
    }
    struct stat held {}, now {};
    if (fstat(fd, &held) == 0 && stat(path.c_str(), &now) == 0 && held.st_ino == now.st_ino &&
        held.st_dev == now.st_dev) {
      const std::string pid = std::to_string(getpid()) + "\n";
      if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The pid is only for the message of a simulator refused later.
      }
      return fd;
    }
    close(fd);
  }
  error = "cannot take the lock " + path + ": it keeps changing";
  return -1;
}

}  // namespace

bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool OpenPty(const std::string& linkPath, PtyHandles& out, std::string& error) {
  if (linkPath.empty()) {
    error = "no link path given";
    return false;
  }
  if (linkPath.size() > kMaxLinkLength) {
    error = "link path '" + linkPath + "' is longer than " + std::to_string(kMaxLinkLength) + " characters";
    return false;
  }
  struct stat st {};
  if (lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    error = "'" + linkPath + "' exists and is not a symbolic link";
    return false;
  }
  // A link whose lock is held is another simulator's live line: taking it
  // over would cut that line off. The pty it points to says nothing: after
  // a simulator was killed, its pty number may be any other program's.
  const int lockFd = LockLink(linkPath, error);
  if (lockFd < 0) return false;
  auto unlock = [&] {
    unlink(LinkLockPath(linkPath).c_str());
    close(lockFd);
  };
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) {
    error = Errno("posix_openpt");
    unlock();
    return false;
  }
  char name[128] = {};
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    error = Errno("pty setup");
    close(master);
    unlock();
    return false;
  }
  const int slave = open(name, O_RDWR | O_NOCTTY);
  if (slave < 0) {
    error = Errno(std::string("open ") + name);
    close(master);
    unlock();
    return false;
  }
  if (!MakeRaw(slave) || !MakeRaw(master) || !SetNonBlocking(master)) {
    error = Errno("raw mode");
    close(slave);
    close(master);
    unlock();
    return false;
  }
  unlink(linkPath.c_str());
  if (symlink(name, linkPath.c_str()) != 0) {
    error = Errno("symlink " + linkPath);
    close(slave);
    close(master);
    unlock();
    return false;
  }
  out.master = master;
  out.slave = slave;
  out.slavePath = name;
  out.lockFd = lockFd;
  return true;
}

void RemoveLink(const std::string& linkPath, const std::string& target, int& lockFd) {
  if (linkPath.empty()) return;
  std::vector<char> buf(512);
  const ssize_t n = readlink(linkPath.c_str(), buf.data(), buf.size() - 1);
  if (n >= 0 && std::string(buf.data(), static_cast<std::size_t>(n)) == target) unlink(linkPath.c_str());
  if (lockFd >= 0) {
    // Removed while still held: a simulator waiting for it finds the file
    // gone and makes a new one (LockLink).
    unlink(LinkLockPath(linkPath).c_str());
    close(lockFd);
    lockFd = -1;
  }
}

int OpenSerialDevice(const std::string& path, const LineSettings& line, std::string& error) {
  speed_t speed{};
  if (!BaudConstant(line.baud, speed)) {
    error = "unsupported baud rate " + std::to_string(line.baud) + " for a serial device";
    return -1;
  }
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    error = Errno("open " + path);
    return -1;
  }
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    error = Errno("tcgetattr " + path);
    close(fd);
    return -1;
  }
  cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR);
  switch (line.dataBits) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
  }
  switch (line.parity) {
    case 'O': t.c_cflag |= PARENB | PARODD; break;
    case 'E': t.c_cflag |= PARENB; break;
    case 'M': t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 'S': t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (line.stopBits == 2) t.c_cflag |= CSTOPB;
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    error = Errno("tcsetattr " + path);
    close(fd);
    return -1;
  }
  tcflush(fd, TCIOFLUSH);
  return fd;
}

int ListenTcp(unsigned short port, unsigned short& actualPort, std::string& error) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = Errno("socket");
    return -1;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0) {
    error = Errno("listen on 127.0.0.1:" + std::to_string(port));
    close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  actualPort = ntohs(addr.sin_port);
  return fd;
}

void PacedWriter::Enqueue(const std::string& bytes, Clock::time_point earliestStart) {
  Clock::time_point slot = std::max(earliestStart, lineFreeAt_);
  for (char c : bytes) {
    slot += charTime_;
    queue_.push_back({c, slot});
  }
  if (!bytes.empty()) lineFreeAt_ = slot;
}

bool PacedWriter::Flush(int fd, Clock::time_point now, bool* blocked) {
  if (blocked) *blocked = false;
  std::string chunk;
  for (const Item& item : queue_) {
    if (item.due > now) break;
    chunk += item.byte;
  }
  if (chunk.empty()) return true;
  const ssize_t n = write(fd, chunk.data(), chunk.size());
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      if (blocked) *blocked = true;
      return true;
    }
    return false;
  }
  for (ssize_t i = 0; i < n; ++i) queue_.pop_front();
  if (static_cast<std::size_t>(n) < chunk.size() && blocked) *blocked = true;
  return true;
}

void PacedWriter::Clear() {
  queue_.clear();
  lineFreeAt_ = Clock::time_point{};
}

}  // namespace fasim
