#include "support/pty_pair.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <random>
#include <sys/stat.h>
#include <chrono>
#include <stdexcept>

namespace testsupport {

PtyPair::PtyPair() {
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    slavePath_ = name;
    termios tio{};
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair() {
    if (!link_.empty()) unlink(link_.c_str());
    CloseMaster();
    CloseSlave();
}

void PtyPair::Link(const std::string& path) {
    unlink(path.c_str());
    if (symlink(slavePath_.c_str(), path.c_str()) != 0) throw std::runtime_error("symlink failed");
    link_ = path;
}

void PtyPair::Write(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) throw std::runtime_error("write to pty master failed");
        done += static_cast<std::size_t>(n);
    }
}

std::string PtyPair::Read(std::size_t count, int timeoutMs) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buffer[4096];
        const std::size_t want = std::min(sizeof buffer, count - got.size());
        const ssize_t n = ::read(master_, buffer, want);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

void PtyPair::CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

void PtyPair::CloseSlave() {
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
}

std::string ShortLinkPath() {
    // "/tmp/q" and five random letters or digits: 11 characters, the most a
    // port name holds. A name in use by a link of another test is skipped.
    static std::mt19937 random{std::random_device{}() ^ static_cast<unsigned>(getpid())};
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (;;) {
        std::string path = "/tmp/q";
        for (int i = 0; i < 5; ++i) path += alphabet[random() % 36];
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) return path;
    }
}

int OpenDescriptorCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;  // the directory stream itself
}

}  // namespace testsupport
