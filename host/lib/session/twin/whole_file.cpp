#include "session/twin/whole_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace qel::session {

namespace {

[[maybe_unused]] std::string Reason(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

#if defined(_WIN32)
// Windows: no fsync for a stream; the rename replaces the file whole.
bool WriteWholeFile(const std::string& path, const std::string& text, std::string& error) {
    const std::string temporary = path + ".partial";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << text;
        file.flush();
        if (!file) {
            error = "cannot write " + temporary;
            file.close();
            std::remove(temporary.c_str());
            return false;
        }
    }
    std::error_code code;
    std::filesystem::rename(temporary, path, code);
    if (code) {
        error = "cannot rename " + temporary + " to " + path + ": " + code.message();
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
#else
bool WriteWholeFile(const std::string& path, const std::string& text, std::string& error) {
    const std::string temporary = path + ".partial";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = Reason("cannot create " + temporary);
        return false;
    }
    const auto fail = [&](const std::string& what) {
        error = Reason(what);
        ::close(fd);
        ::unlink(temporary.c_str());
        return false;
    };
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return fail("cannot write " + temporary);
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) return fail("cannot write " + temporary + " to the disk");
    if (::close(fd) != 0) {
        error = Reason("cannot write " + temporary);
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        error = Reason("cannot rename " + temporary + " to " + path);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}
#endif

}  // namespace qel::session
