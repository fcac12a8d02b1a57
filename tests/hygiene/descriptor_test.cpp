// Many QEL_INIT / QEL_CLOSE and port close / open cycles on a real
// pseudo-terminal, some with the far end hung up while the driver waits for
// an answer, leave the process with the descriptors it had.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "serial/serial_port.h"
#include "support/host_records.h"
#include "support/log_capture.h"
#include "support/pty_pair.h"

namespace {

using testsupport::PtyPair;

// The platform's backend, but the pauses between attempts are skipped.
class NoPauses {
public:
    NoPauses() : backend_(qel::PlatformSerialBackend()) {
        backend_.sleep = [](std::uint32_t) {};
        qel::UseSerialBackend(&backend_);
    }
    ~NoPauses() { qel::UseSerialBackend(nullptr); }

private:
    qel::SerialBackend backend_;
};

std::int32_t Call(DriverWorkspace& workspace, std::int32_t operation, void* parameters) {
    QelRequest request{};
    request.workspace = &workspace;
    request.operation = operation;
    request.qelNumber = 1;
    request.parameters = parameters;
    return QelMain(&request);
}

class FarEnd {
public:
    FarEnd() : link_(testsupport::ShortLinkPath()) { Renew(); }
    const std::string& Link() const { return link_; }
    // Starts a read that waits for an echo, and hangs up the far end while
    // it waits; then a fresh pseudo-terminal takes the link's place.
    void HangUpDuringRead(DriverWorkspace& workspace) {
        std::uint16_t values[4] = {};
        GateTransfer read = testsupport::SingleTransfer("001DR0001", 1, AREA_DR, 1, values);
        std::thread hangUp([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));  // past the purge, into the wait for the echo
            pty_->CloseMaster();
        });
        const std::int32_t rc = Call(workspace, QEL_READ, &read);
        hangUp.join();
        EXPECT_NE(rc, 0);
        Renew();
    }

private:
    void Renew() {
        pty_.reset();  // unlinks before the new link is made
        pty_ = std::make_unique<PtyPair>();
        pty_->Link(link_);
    }
    std::string link_;
    std::unique_ptr<PtyPair> pty_;
};

TEST(Descriptors, InitAndCloseCycles) {
    NoPauses noPauses;
    testsupport::LogCapture log;
    const int before = testsupport::OpenDescriptorCount();
    {
        FarEnd far;
        QelSetup setup = testsupport::SetupFor(far.Link());
        for (int i = 0; i < 10000; ++i) {
            DriverWorkspace workspace{};
            ASSERT_EQ(Call(workspace, QEL_INIT, &setup), 0) << "cycle " << i;
            if (i % 500 == 499) far.HangUpDuringRead(workspace);
            ASSERT_EQ(Call(workspace, QEL_CLOSE, nullptr), 0) << "cycle " << i;
            if (i % 1000 == 0) log.Clear();
        }
    }
    EXPECT_EQ(testsupport::OpenDescriptorCount(), before);
}

TEST(Descriptors, PortCloseAndOpenCycles) {
    NoPauses noPauses;
    testsupport::LogCapture log;
    const int before = testsupport::OpenDescriptorCount();
    {
        FarEnd far;
        QelSetup setup = testsupport::SetupFor(far.Link());
        DriverWorkspace workspace{};
        ASSERT_EQ(Call(workspace, QEL_INIT, &setup), 0);
        for (int i = 0; i < 1000; ++i) {
            ASSERT_EQ(Call(workspace, QEL_CLOSE_PORT, nullptr), 0) << "cycle " << i;
            ASSERT_EQ(Call(workspace, QEL_OPEN_PORT, nullptr), 0) << "cycle " << i;
            if (i % 50 == 49) far.HangUpDuringRead(workspace);
        }
        EXPECT_EQ(Call(workspace, QEL_CLOSE, nullptr), 0);
    }
    EXPECT_EQ(testsupport::OpenDescriptorCount(), before);
}

}  // namespace
