// Runs a test in a fresh, empty current directory, where the driver looks for
// its station model files, and goes back and removes it afterwards.
#pragma once

#include <gtest/gtest.h>
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace testsupport {

class ScratchDirectory {
public:
    ScratchDirectory() {
        char here[4096];
        if (getcwd(here, sizeof here) != nullptr) previous_ = here;
        char pattern[] = "/tmp/vuzorur-models-XXXXXX";
        if (mkdtemp(pattern) != nullptr) path_ = pattern;
        if (path_.empty() || chdir(path_.c_str()) != 0) ADD_FAILURE() << "no scratch directory";
    }
    ~ScratchDirectory() {
        if (!previous_.empty() && chdir(previous_.c_str()) != 0) ADD_FAILURE() << "cannot go back";
        if (path_.empty()) return;
        if (DIR* dir = opendir(path_.c_str())) {
            while (dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") std::remove((path_ + "/" + name).c_str());
            }
            closedir(dir);
        }
        rmdir(path_.c_str());
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& Path() const { return path_; }

    // Writes the bytes exactly as given, no line-end translation.
    static void WriteFile(const std::string& name, std::string_view bytes) {
        std::FILE* file = std::fopen(name.c_str(), "wb");
        ASSERT_NE(file, nullptr) << name;
        if (!bytes.empty()) {
            ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
        }
        std::fclose(file);
    }

private:
    std::string previous_;
    std::string path_;
};

}  // namespace testsupport
