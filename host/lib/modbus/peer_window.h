// The receive window a TCP peer advertises: how much more it can take before
// it reads. A client that reads its replies keeps it open; one that does not
// closes it as the replies pile up unread on its side.
#pragma once

#include <cstdint>
#include <optional>

namespace qel::modbus {

// The peer's advertised window in bytes; nullopt where the kernel does not
// tell it (before Linux 5.19... or not TCP).
std::optional<std::uint32_t> PeerWindow(int fd);

}  // namespace qel::modbus
