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

Result ReceiveAnswer(DriverWorkspace& workspace, std::span<std::uint8_t> buffer, Failure* why) {
    // The purge before the frame cleared what came before it: whatever the port
    // reports now came with the bytes that answer the frame, which the UART may
    // have flagged before this read began.
    std::uint32_t received = 0;
    const bool complete = PortRead(workspace.portHandle, buffer, &received) == PORT_OK && received == buffer.size();
    if (PortLineErrors(workspace.portHandle)) {
        Note(why, FAILURE_LINE_ERROR);
        return RESULT_REFUSED;
    }
    if (complete) return RESULT_DONE;
    if (workspace.portHandle == NO_PORT) {
        Note(why, FAILURE_PORT);
    } else {
        Note(why, received == 0 ? FAILURE_NO_ANSWER : FAILURE_SHORT_ANSWER);
    }
    return RESULT_LINE_FAILURE;
}

void PurgeInput(DriverWorkspace& workspace) {
    // Each read returns with what waits, or after 20 ms without a byte: the
    // quiet is counted from the last byte that arrived, so characters that
    // trail a reply cost their own time and no second full wait.
    const SerialBackend& backend = ActiveSerialBackend();
    constexpr std::uint32_t quietMs = static_cast<std::uint32_t>(PURGE_TIMEOUT) * 10u;
    // A port that ReceiveTrailer left quiet has had its quiet already: only
    // what arrived since then is waited for.
    std::uint32_t wait = TakePortQuiet(workspace.portHandle) ? 0u : quietMs;
    std::array<std::uint8_t, PURGE_SIZE> scratch;
    std::size_t dropped = 0;
    while (dropped < scratch.size()) {
        std::uint32_t got = 0;
        const auto rest = std::span(scratch).subspan(dropped);
        if (!backend.readWaiting(workspace.portHandle, rest, wait, &got) || got == 0) break;
        dropped += got;
        wait = quietMs;
    }
    // Line errors of the dropped bytes belong to no answer.
    (void)PortLineErrors(workspace.portHandle);
    SetReadTimeout(workspace.portHandle, workspace.readTimeout);
}

Result CheckEcho(DriverWorkspace& workspace, std::span<const std::uint8_t> sent, Failure* why) {
    // No frame of the protocol is longer than the echo area.
    if (sent.size() > ECHO_AREA_SIZE) {
        Note(why, FAILURE_REFUSED);
        return RESULT_REFUSED;
    }
    std::array<std::uint8_t, ECHO_AREA_SIZE> echo{};
    const std::span<std::uint8_t> received(echo.data(), sent.size());
    if (const Result got = ReceiveAnswer(workspace, received, why); got != RESULT_DONE) return got;
    if (std::ranges::equal(received, sent)) return RESULT_DONE;
    Note(why, FAILURE_ECHO);
    return RESULT_REFUSED;
}

Result ReceiveReply(DriverWorkspace& workspace, std::span<std::uint8_t> buffer, Failure* why) {
    return ReceiveAnswer(workspace, buffer, why);
}

std::size_t ReceiveTrailer(DriverWorkspace& workspace, std::span<std::uint8_t> buffer) {
    const SerialBackend& backend = ActiveSerialBackend();
    constexpr std::uint32_t quietMs = static_cast<std::uint32_t>(PURGE_TIMEOUT) * 10u;
    std::size_t taken = 0;
    while (taken < buffer.size()) {
        std::uint32_t got = 0;
        if (!backend.readWaiting(workspace.portHandle, buffer.subspan(taken), quietMs, &got)) return taken;
        if (got == 0) {
            MarkPortQuiet(workspace.portHandle);
            return taken;
        }
        taken += got;
    }
    return taken;
}

}  // namespace qel
