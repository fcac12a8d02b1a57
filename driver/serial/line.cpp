#include "serial/line.h"

#include <algorithm>
#include <array>

#include "serial/serial_port.h"

namespace qel {

bool SendFrame(DriverWorkspace& workspace, std::span<const std::uint8_t> frame) {
    PurgeInput(workspace);
    std::uint32_t written = 0;
    return PortWrite(workspace.portHandle, frame, &written) == PORT_OK && written == frame.size();
}

bool ReceiveExact(DriverWorkspace& workspace, std::span<std::uint8_t> buffer) {
    std::uint32_t received = 0;
    return PortRead(workspace.portHandle, buffer, &received) == PORT_OK && received == buffer.size();
}

Result ReceiveAnswer(DriverWorkspace& workspace, std::span<std::uint8_t> buffer) {
    // The purge before the frame cleared what came before it: whatever the port
    // reports now came with the bytes that answer the frame, which the UART may
    // have flagged before this read began.
    const bool complete = ReceiveExact(workspace, buffer);
    if (PortLineErrors(workspace.portHandle)) return RESULT_REFUSED;
    return complete ? RESULT_DONE : RESULT_LINE_FAILURE;
}

void PurgeInput(DriverWorkspace& workspace) {
    // Each read returns with what waits, or after 20 ms without a byte: the
    // quiet is counted from the last byte that arrived, so characters that
    // trail a reply cost their own time and no second full wait.
    const SerialBackend& backend = ActiveSerialBackend();
    constexpr std::uint32_t quietMs = static_cast<std::uint32_t>(PURGE_TIMEOUT) * 10u;
    std::array<std::uint8_t, PURGE_SIZE> scratch;
    std::size_t dropped = 0;
    while (dropped < scratch.size()) {
        std::uint32_t got = 0;
        const auto rest = std::span(scratch).subspan(dropped);
        if (!backend.readWaiting(workspace.portHandle, rest, quietMs, &got) || got == 0) break;
        dropped += got;
    }
    // Line errors of the dropped bytes belong to no answer.
    (void)PortLineErrors(workspace.portHandle);
    SetReadTimeout(workspace.portHandle, workspace.readTimeout);
}

Result CheckEcho(DriverWorkspace& workspace, std::span<const std::uint8_t> sent) {
    // No frame of the protocol is longer than the echo area.
    if (sent.size() > ECHO_AREA_SIZE) return RESULT_REFUSED;
    std::array<std::uint8_t, ECHO_AREA_SIZE> echo{};
    const std::span<std::uint8_t> received(echo.data(), sent.size());
    if (const Result got = ReceiveAnswer(workspace, received); got != RESULT_DONE) return got;
    return std::ranges::equal(received, sent) ? RESULT_DONE : RESULT_REFUSED;
}

Result ReceiveReply(DriverWorkspace& workspace, std::span<std::uint8_t> buffer) {
    return ReceiveAnswer(workspace, buffer);
}

}  // namespace qel
