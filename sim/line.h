// The physical side: attaching to a pseudo-terminal, a serial device or a
// TCP socket, and pacing what goes out at the line's character time.
#pragma once

#include <chrono>
#include <deque>
#include <string>

#include "fasim.h"

namespace fasim {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxLinkLength = 4095;  // a path the system takes (PATH_MAX less its NUL)

// Time one character takes on the line: (1 start + data + parity + stop) / baud.
// Zero when the line is not paced.
std::chrono::nanoseconds CharacterTime(const LineSettings& line);
unsigned BitsPerCharacter(const LineSettings& line);

struct PtyHandles {
  int master = -1;
  int slave = -1;  // kept open so the master never sees a hang-up between clients
  std::string slavePath;
  int lockFd = -1;  // the lock on the link's lock file, held while the line lives
};

// Creates a pty, puts both sides in raw mode and links its slave at
// `linkPath` (replacing a stale symlink; refusing a link whose lock another
// simulator holds, and anything that is not a symbolic link).
bool OpenPty(const std::string& linkPath, PtyHandles& out, std::string& error);
// Removes the link if it still points to `target`, and lets go of the
// link's lock (`lockFd`, closed; its file removed).
void RemoveLink(const std::string& linkPath, const std::string& target, int& lockFd);

// The lock file beside a link ("LINK.lock"): a simulator holds an exclusive
// lock on it while its line lives, so a link is live exactly while its lock
// is held, whoever holds the pty it points to.
std::string LinkLockPath(const std::string& linkPath);

// Opens a serial device raw at the line settings; non-blocking fd or -1.
int OpenSerialDevice(const std::string& path, const LineSettings& line, std::string& error);

// Listens on 127.0.0.1:port (0: any free port); non-blocking fd or -1.
int ListenTcp(unsigned short port, unsigned short& actualPort, std::string& error);

bool SetNonBlocking(int fd);

// A queue of outgoing bytes, each delivered at the end of its character
// slot; slots follow each other and never start before the byte's earliest time.
class PacedWriter {
 public:
  explicit PacedWriter(std::chrono::nanoseconds charTime) : charTime_(charTime) {}

  void Enqueue(const std::string& bytes, Clock::time_point earliestStart);
  bool Empty() const { return queue_.empty(); }
  // When the next byte is due; only meaningful when not empty.
  Clock::time_point NextDue() const { return queue_.front().due; }
  // Writes every byte due by `now`. Returns false on a write error other
  // than "would block"; *blocked is set when the fd would block.
  bool Flush(int fd, Clock::time_point now, bool* blocked);
  void Clear();

 private:
  struct Item {
    char byte;
    Clock::time_point due;
  };
  std::chrono::nanoseconds charTime_;
  std::deque<Item> queue_;
  Clock::time_point lineFreeAt_{};
};

}  // namespace fasim
