#include "session/port/port_holder.h"

#include "common/device_holders.h"

#if !defined(_WIN32)
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#endif

namespace qel::session {

#if defined(_WIN32)
std::string PortHolder(const std::string&) { return {}; }
#else
namespace {

std::string CommandOf(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "a process" : name;
}

std::string Named(long pid) { return CommandOf(pid) + " (pid " + std::to_string(pid) + ")"; }

// The process that holds a flock on the file, from /proc/locks.
long LockHolder(const struct stat& file) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream in(line);
        std::string number, kind, mode, access, where;
        long pid = 0;
        if (!(in >> number >> kind >> mode >> access >> pid >> where) || kind != "FLOCK") continue;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%lu", &major, &minor, &inode) != 3) continue;
        if (major == major(file.st_dev) && minor == minor(file.st_dev) && inode == file.st_ino) return pid;
    }
    return 0;
}

}  // namespace

std::string PortHolder(const std::string& path) {
    struct stat device {};
    if (stat(path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) return {};
    if (const long locker = LockHolder(device); locker > 0 && locker != static_cast<long>(getpid())) {
        return Named(locker);
    }
    std::string text;
    for (const long pid : common::ProcessesHolding(device.st_rdev)) text += (text.empty() ? "" : ", ") + Named(pid);
    return text;
}
#endif

}  // namespace qel::session
