#include "common/device_holders.h"

#ifndef _WIN32

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace qel::common {

std::vector<long> ProcessesHolding(dev_t rdev) {
    std::vector<long> pids;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return pids;
    const long self = static_cast<long>(getpid());
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self) continue;
        const std::string fdDir = "/proc/" + std::string(entry->d_name) + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) continue;
        while (const dirent* fd = readdir(fds)) {
            struct stat st {};
            if (fd->d_name[0] == '.' || stat((fdDir + "/" + fd->d_name).c_str(), &st) != 0) continue;
            if (S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
                pids.push_back(pid);
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return pids;
}

std::string ProcessName(long pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace qel::common

#else

namespace qel::common {

// Windows has no /proc: nobody is found.
std::vector<long> ProcessesHolding(dev_t) { return {}; }
std::string ProcessName(long) { return {}; }

}  // namespace qel::common

#endif
