#include "modbus/peer_window.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

namespace qel::modbus {

std::optional<std::uint32_t> PeerWindow(int fd) {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return std::nullopt;
    // An older kernel fills less of the record than this field.
    if (size < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd) return std::nullopt;
    return info.tcpi_snd_wnd;
}

}  // namespace qel::modbus
