// The line operations every exchange is made of, on a QEL's workspace.
#pragma once

#include <cstdint>
#include <span>

#include "base/result.h"
#include "vuzorur.h"

namespace qel {

constexpr std::int32_t PURGE_TIMEOUT = 2;     // 10 ms units: the quiet that ends a purge
constexpr std::uint32_t PURGE_SIZE = 3000;    // bytes
constexpr std::uint32_t ECHO_AREA_SIZE = 20;  // bytes

// Purges stale input, then writes the frame; true when all of it was written.
bool SendFrame(DriverWorkspace& workspace, std::span<const std::uint8_t> frame);
// True when exactly buffer.size() bytes arrived.
bool ReceiveExact(DriverWorkspace& workspace, std::span<std::uint8_t> buffer);
// Receives what the controller answers: RESULT_DONE exactly buffer.size()
// bytes arrived; RESULT_REFUSED the port reported a parity, framing, overrun
// or break error since the purge before the frame; RESULT_LINE_FAILURE they did not
// arrive in full.
Result ReceiveAnswer(DriverWorkspace& workspace, std::span<std::uint8_t> buffer);
// Drops what arrives on the line until it has been quiet for 20 ms since the
// last byte (up to 3000 bytes), clears the line errors the port reported
// with them, then restores the workspace's readTimeout on the port.
void PurgeInput(DriverWorkspace& workspace);
// RESULT_DONE the echo equals what was sent; RESULT_REFUSED it differs or
// came with a line error; RESULT_LINE_FAILURE it did not arrive in full.
Result CheckEcho(DriverWorkspace& workspace, std::span<const std::uint8_t> sent);
// RESULT_DONE received; RESULT_REFUSED received with a line error;
// RESULT_LINE_FAILURE not received in full.
Result ReceiveReply(DriverWorkspace& workspace, std::span<std::uint8_t> buffer);

}  // namespace qel
