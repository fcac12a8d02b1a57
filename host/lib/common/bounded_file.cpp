#include "common/bounded_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qel::common {

namespace {

std::string Size(std::size_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MB";
    if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " kB";
    return std::to_string(bytes) + " bytes";
}

std::string TooLarge(const std::string& path, const FileBound& bound) {
    return path + ": larger than " + Size(bound.maxBytes) + ", more than a " + bound.kind + " holds";
}

#ifndef _WIN32
std::string KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a plain file";
}
#endif

}  // namespace

#ifndef _WIN32

std::string NotRegularFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
    if (S_ISREG(st.st_mode)) return {};
    return KindOf(st.st_mode) + ", not a regular file";
}

bool ReadBoundedFile(const std::string& path, const FileBound& bound, std::string& bytes, std::string& error) {
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + ": " + (S_ISREG(st.st_mode) ? std::string(std::strerror(errno)) : KindOf(st.st_mode)) +
                ", not a regular file; name a " + bound.kind + " here";
        ::close(fd);
        return false;
    }
    if (static_cast<std::size_t>(st.st_size) > bound.maxBytes) {
        error = TooLarge(path, bound);
        ::close(fd);
        return false;
    }
    bytes.clear();
    // The size may change while it is read: read one byte past the bound
    // rather than trust fstat.
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (got == 0) break;
        if (bytes.size() + static_cast<std::size_t>(got) > bound.maxBytes) {
            error = TooLarge(path, bound);
            ::close(fd);
            return false;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return true;
}

#else

std::string NotRegularFile(const std::string& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec) return ec.message();
    if (std::filesystem::is_regular_file(status)) return {};
    return std::filesystem::is_directory(status) ? "a directory, not a regular file" : "not a regular file";
}

bool ReadBoundedFile(const std::string& path, const FileBound& bound, std::string& bytes, std::string& error) {
    if (const std::string why = NotRegularFile(path); !why.empty()) {
        error = path + ": " + why;
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot be read";
        return false;
    }
    bytes.clear();
    char buffer[65536];
    while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
        if (bytes.size() + static_cast<std::size_t>(file.gcount()) > bound.maxBytes) {
            error = TooLarge(path, bound);
            return false;
        }
        bytes.append(buffer, static_cast<std::size_t>(file.gcount()));
    }
    return true;
}

#endif

bool CheckLineBounds(const std::string& path, const std::string& text, const FileBound& bound, std::string& error) {
    std::size_t at = 0;
    std::size_t number = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        ++number;
        if (bound.maxLines > 0 && number > bound.maxLines) {
            error = path + ":" + std::to_string(number) + ": more than " + std::to_string(bound.maxLines) +
                    " lines, more than a " + bound.kind + " holds";
            return false;
        }
        if (bound.maxLineBytes > 0 && end - at > bound.maxLineBytes) {
            error = path + ":" + std::to_string(number) + ": a line of over " + Size(bound.maxLineBytes) +
                    ", longer than a " + bound.kind + "'s lines";
            return false;
        }
        at = end + 1;
    }
    return true;
}

}  // namespace qel::common
