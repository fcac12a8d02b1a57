// Checks, reads and writes allocate nothing on the heap: every allocation
// the calling thread makes through operator new is counted while the driver
// works. The far end of the line is a thread of its own.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <thread>

#include "support/host_records.h"
#include "support/log_capture.h"
#include "support/pty_pair.h"
#include "vuzorur.h"

namespace {
thread_local long allocationsOnThisThread = 0;
}

void* operator new(std::size_t size) {
    ++allocationsOnThisThread;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    ++allocationsOnThisThread;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Echoes every frame and answers the ones it knows, like a controller.
class ScriptedController {
public:
    ScriptedController(int master, std::map<std::string, std::string> replies)
        : master_(master), replies_(std::move(replies)), thread_([this] { Serve(); }) {}
    ~ScriptedController() {
        stop_ = true;
        thread_.join();
    }

private:
    void Serve() {
        std::string pending;
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buffer[256];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) continue;
            (void)!write(master_, buffer, static_cast<std::size_t>(n));
            pending.append(buffer, static_cast<std::size_t>(n));
            for (const auto& [request, reply] : replies_) {
                if (pending.size() >= request.size() &&
                    pending.compare(pending.size() - request.size(), request.size(), request) == 0) {
                    (void)!write(master_, reply.data(), reply.size());
                    pending.clear();
                    break;
                }
            }
        }
    }
    int master_;
    std::map<std::string, std::string> replies_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(NoAllocation, ChecksReadsAndWritesUseNoHeap) {
    testsupport::LogCapture log;
    testsupport::PtyPair pty;
    const std::string link = testsupport::ShortLinkPath();
    pty.Link(link);
    ScriptedController controller(pty.Master(), {
                                                    {"`0101\r", "c00\r"},
                                                    {"R70:11\r", "p12340:\r"},
                                                    {"\\270:12341=\r", "c00\r"},
                                                    {"`0202\r", "c00\r"},
                                                    {"]444000:000218\r", "c00\r34121:\r"},
                                                });
    DriverWorkspace workspace{};
    QelSetup setup = testsupport::SetupFor(link);
    QelRequest init{&workspace, QEL_INIT, 1, 0, &setup};
    ASSERT_EQ(QelMain(&init), 0);
    std::memcpy(workspace.stationModel[2], "FA3", 4);

    GateDefinition gate{};
    gate.gas = "001DR0010";
    QelRequest check{&workspace, QEL_CHECK_GATE, 1, 0, &gate};
    std::uint16_t values[2] = {0, 0};
    GateTransfer transfer = testsupport::SingleTransfer("001DR0010", 1, AREA_DR, 10, values);
    QelRequest read{&workspace, QEL_READ, 1, 0, &transfer};
    QelRequest write{&workspace, QEL_WRITE, 1, 0, &transfer};
    GateTransfer fa3 = transfer;
    fa3.station = 2;
    std::uint16_t fa3Values[2] = {0, 0};
    fa3.values = fa3Values;
    QelRequest readFa3{&workspace, QEL_READ, 1, 0, &fa3};

    const long before = allocationsOnThisThread;
    const int checked = QelMain(&check);
    const int readResult = QelMain(&read);
    const std::uint16_t readValue = values[1];
    const int written = QelMain(&write);
    const int readFa3Result = QelMain(&readFa3);
    const long made = allocationsOnThisThread - before;

    EXPECT_EQ(checked, 0);
    EXPECT_EQ(readResult, 0);
    EXPECT_EQ(readValue, 0x1234);
    EXPECT_EQ(written, 0);
    EXPECT_EQ(readFa3Result, 0);
    EXPECT_EQ(fa3Values[1], 0x1234);
    EXPECT_EQ(made, 0) << "heap allocations on the check, read and write paths";

    QelRequest close{&workspace, QEL_CLOSE, 1, 0, nullptr};
    QelMain(&close);
}

}  // namespace
