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
// or break error since the purge before the frame (FAILURE_LINE_ERROR);
// RESULT_LINE_FAILURE they did not arrive in full (FAILURE_NO_ANSWER none
// came, FAILURE_SHORT_ANSWER some did, FAILURE_PORT no port is open). The
// failure goes to `why` when one is given.
Result ReceiveAnswer(DriverWorkspace& workspace, std::span<std::uint8_t> buffer, Failure* why = nullptr);
// Drops what arrives on the line until it has been quiet for 20 ms since the
// last byte (up to 3000 bytes), clears the line errors the port reported
// with them, then restores the workspace's readTimeout on the port. When
// ReceiveTrailer left the port marked quiet, that quiet counts: the purge
// then waits only for what has arrived since.
void PurgeInput(DriverWorkspace& workspace);
// RESULT_DONE the echo equals what was sent; RESULT_REFUSED it differs
// (FAILURE_ECHO) or came with a line error; RESULT_LINE_FAILURE it did not
// arrive in full (failures as ReceiveAnswer).
Result CheckEcho(DriverWorkspace& workspace, std::span<const std::uint8_t> sent, Failure* why = nullptr);
// RESULT_DONE received; RESULT_REFUSED received with a line error;
// RESULT_LINE_FAILURE not received in full (failures as ReceiveAnswer).
Result ReceiveReply(DriverWorkspace& workspace, std::span<std::uint8_t> buffer, Failure* why = nullptr);
// Takes what follows an answer, up to buffer.size() characters, until the
// line has been quiet for 20 ms since the last one; returns how many came.
// When the quiet ended it, the port is marked quiet for the next purge.
std::size_t ReceiveTrailer(DriverWorkspace& workspace, std::span<std::uint8_t> buffer);

}  // namespace qel
