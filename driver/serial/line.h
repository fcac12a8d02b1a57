// The line operations every exchange is made of, on a QEL's workspace.
#pragma once

#include <cstdint>
#include <span>

#include "vuzorur.h"

namespace qel {

constexpr std::int32_t PURGE_TIMEOUT = 2;     // 10 ms units: the quiet that ends a purge
constexpr std::uint32_t PURGE_SIZE = 3000;    // bytes
constexpr std::uint32_t ECHO_AREA_SIZE = 20;  // bytes

// Purges stale input, then writes the frame; true when all of it was written.
bool SendFrame(DriverWorkspace& workspace, std::span<const std::uint8_t> frame);
// True when exactly buffer.size() bytes arrived.
bool ReceiveExact(DriverWorkspace& workspace, std::span<std::uint8_t> buffer);
// Receives what the controller answers: 0 exactly buffer.size() bytes
// arrived; 1 the port reported a parity, framing, overrun or break error
// while they were received; 2 they did not arrive in full.
int ReceiveAnswer(DriverWorkspace& workspace, std::span<std::uint8_t> buffer);
// Drops what arrives on the line until it has been quiet for 20 ms since the
// last byte (up to 3000 bytes), then restores the workspace's readTimeout on
// the port.
void PurgeInput(DriverWorkspace& workspace);
// 0 the echo equals what was sent; 1 it differs or came with a line error;
// 2 it did not arrive in full.
int CheckEcho(DriverWorkspace& workspace, std::span<const std::uint8_t> sent);
// 0 received; 1 received with a line error; 2 not received in full.
int ReceiveReply(DriverWorkspace& workspace, std::span<std::uint8_t> buffer);

}  // namespace qel
