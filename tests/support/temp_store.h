// A folder of its own in /tmp for one on-disk message store, removed with
// every file the store leaves beside it when the test is done.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace testsupport {

class TempStore {
public:
    TempStore() {
        char dir[] = "/tmp/store_XXXXXX";
        if (mkdtemp(dir) != nullptr) dir_ = dir;
    }
    ~TempStore() {
        for (const char* suffix : {"", "-wal", "-shm", ".lock"}) std::remove((Path() + suffix).c_str());
        rmdir(dir_.c_str());
    }
    TempStore(const TempStore&) = delete;
    TempStore& operator=(const TempStore&) = delete;
    std::string Path() const { return dir_ + "/store.db"; }

private:
    std::string dir_;
};

}  // namespace testsupport
