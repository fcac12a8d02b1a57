#include "fuzz_host.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "kestan.h"

namespace fuzzhost {

const std::string& Prepare() {
    static const std::string directory = [] {
        KestanLogToFile("/dev/null");
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/vuzorur-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) {
            std::perror("fuzz scratch directory");
            std::abort();
        }
        return pattern;
    }();
    static const bool cleanUp = [] {
        // The directory goes when the process ends normally; its file goes
        // after every input that writes one.
        return std::atexit([] { (void)rmdir(directory.c_str()); }) == 0;
    }();
    (void)cleanUp;
    return directory;
}

std::string Input::Take(std::size_t count) {
    const std::size_t n = count < size_ - at_ ? count : size_ - at_;
    std::string taken(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return taken;
}

}  // namespace fuzzhost
