#include "transact/attempt.h"

namespace qel {

namespace {
constexpr std::uint32_t ANSWER_MARGIN_MS = static_cast<std::uint32_t>(PURGE_TIMEOUT) * 10u;
}

std::uint32_t AnswerTimeFloorMs(const PortSettings& port, std::uint32_t characters) {
    // A port with no speed set (the null device) has no character time.
    if (port.baudRate == 0) return ANSWER_MARGIN_MS;
    // In half bits, for one and a half stop bits: start, data, parity, stop.
    const std::uint32_t dataBits = port.dataBits & 0xFFu;
    const std::uint32_t parityBits = (port.parity & 0xFFu) != 0 ? 1u : 0u;
    const std::uint32_t stopHalfBits = (port.stopBits & 0xFFu) == 1 ? 3u : (port.stopBits & 0xFFu) == 2 ? 4u : 2u;
    const std::uint32_t halfBits = 2u * (1u + dataBits + parityBits) + stopHalfBits;
    const std::uint64_t numerator = std::uint64_t{characters} * halfBits * 1000u;
    const std::uint64_t denominator = 2u * std::uint64_t{port.baudRate};
    return ANSWER_MARGIN_MS + static_cast<std::uint32_t>((numerator + denominator - 1) / denominator);
}

AttemptTimeout::AttemptTimeout(DriverWorkspace& workspace, std::uint32_t milliseconds)
    : workspace_(workspace), saved_(workspace.readTimeout) {
    // Every frame is sent after a purge, which sets the port's time-out from
    // the workspace.
    workspace_.readTimeout = static_cast<std::int32_t>((milliseconds + 9u) / 10u);
}

AttemptTimeout::~AttemptTimeout() {
    workspace_.readTimeout = saved_;
    if (workspace_.portHandle != NO_PORT) SetReadTimeout(workspace_.portHandle, saved_);
}

}  // namespace qel
