// The processes that hold a device: another process that has a pty open is
// found and named, and gone when it ends; this process is never counted.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/device_holders.h"
#include "support/pty_pair.h"

namespace {

dev_t DeviceOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    return st.st_rdev;
}

bool Holds(dev_t rdev, long pid) {
    const std::vector<long> pids = qel::common::ProcessesHolding(rdev);
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

TEST(DeviceHolders, ThisProcessIsNotCounted) {
    testsupport::PtyPair pty;  // this process holds both sides
    const dev_t rdev = DeviceOf(pty.SlavePath());
    ASSERT_NE(rdev, 0u);
    EXPECT_TRUE(qel::common::ProcessesHolding(rdev).empty());
}

TEST(DeviceHolders, AnotherProcessHoldingTheDeviceIsFoundAndNamed) {
    testsupport::PtyPair pty;
    const dev_t rdev = DeviceOf(pty.SlavePath());
    ASSERT_NE(rdev, 0u);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0 || dup2(fd, 0) < 0) _exit(1);
        execlp("sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(1);
    }
    // Until the child has exec'd with the pty as its input.
    bool found = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!found && std::chrono::steady_clock::now() < end) {
        found = Holds(rdev, child) && qel::common::ProcessName(child) == "sleep";
        if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(found);
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    // Gone: neither holding nor named.
    EXPECT_FALSE(Holds(rdev, child));
    EXPECT_EQ(qel::common::ProcessName(child), "");
}

}  // namespace
