#include "serial/serial_port.h"

#include <array>
#include <atomic>

namespace qel {
namespace {
std::atomic<const SerialBackend*> activeBackend{nullptr};
}

const SerialBackend& ActiveSerialBackend() {
    const SerialBackend* backend = activeBackend.load(std::memory_order_acquire);
    return backend != nullptr ? *backend : PlatformSerialBackend();
}

void UseSerialBackend(const SerialBackend* backend) {
    activeBackend.store(backend, std::memory_order_release);
}

PortHandle OpenPort(const PortSettings& settings) {
    return ActiveSerialBackend().open(settings);
}

int ClosePortHandle(PortHandle handle) {
    return ActiveSerialBackend().close(handle) ? PORT_OK : PORT_FAILED;
}

int SetReadTimeout(PortHandle handle, std::int32_t value) {
    const SerialBackend& backend = ActiveSerialBackend();
    std::uint32_t current = 0;
    if (!backend.getReadTimeout(handle, &current)) return 0;
    // A time-out below one unit would make a read wait for ever (or for weeks,
    // read as unsigned): the shortest wait is 10 ms.
    const std::uint32_t wanted = value < 1 ? 10u : static_cast<std::uint32_t>(value) * 10u;
    if (wanted != current && !backend.setReadTimeout(handle, wanted)) return 0;
    return static_cast<int>(current / 10u);
}

int PortWrite(PortHandle handle, std::span<const std::uint8_t> bytes, std::uint32_t* written) {
    std::uint32_t count = 0;
    if (!ActiveSerialBackend().write(handle, bytes, &count)) return PORT_FAILED;
    if (written != nullptr) *written = count;
    return count == bytes.size() ? PORT_OK : PORT_SHORT;
}

int PortRead(PortHandle handle, std::span<std::uint8_t> buffer, std::uint32_t* received) {
    const SerialBackend& backend = ActiveSerialBackend();
    // The count travels as a 16-bit number.
    const std::size_t wanted = buffer.size() & 0xFFFFu;
    std::size_t arrived = 0;
    if (received != nullptr) *received = 0;
    do {
        std::uint32_t got = 0;
        if (!backend.read(handle, buffer.subspan(arrived, wanted - arrived), &got)) return PORT_FAILED;
        if (got == 0) return PORT_FAILED;
        arrived += got;
        if (received != nullptr) *received = static_cast<std::uint32_t>(arrived);
    } while (arrived < wanted);
    return PORT_OK;
}

bool PortLineErrors(PortHandle handle) { return ActiveSerialBackend().lineErrors(handle); }

void MarkPortQuiet(PortHandle handle) {
    const SerialBackend& backend = ActiveSerialBackend();
    if (backend.markQuiet != nullptr) backend.markQuiet(handle);
}

bool TakePortQuiet(PortHandle handle) {
    const SerialBackend& backend = ActiveSerialBackend();
    return backend.takeQuiet != nullptr && backend.takeQuiet(handle);
}

int DrainInput(PortHandle handle) {
    const SerialBackend& backend = ActiveSerialBackend();
    bool pending = true;
    if (backend.inputPending(handle, &pending) && !pending) return 0;
    const int previous = SetReadTimeout(handle, 5);
    std::array<std::uint8_t, 512> piece{};
    int result = 0;
    for (;;) {
        std::uint32_t got = 0;
        if (!backend.read(handle, piece, &got)) {
            result = 1;
            break;
        }
        if (got < piece.size()) break;
    }
    if (previous != 0) SetReadTimeout(handle, previous);
    return result;
}

int SendBreak(std::uint32_t milliseconds, PortHandle handle) {
    const SerialBackend& backend = ActiveSerialBackend();
    backend.setBreak(handle, true);
    backend.sleep(milliseconds);
    backend.setBreak(handle, false);
    return 0;
}

int PauseMs(std::uint32_t milliseconds) {
    ActiveSerialBackend().sleep(milliseconds);
    return 0;
}

}  // namespace qel
