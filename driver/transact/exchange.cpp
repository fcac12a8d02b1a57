#include "transact/exchange.h"

#include <algorithm>

#include "transact/receive_ack.h"
#include "protocol/read_frames.h"
#include "serial/line.h"

namespace qel {

GateName UpperCasedGas(const char* gas) {
    GateName name;
    if (gas == nullptr) return name;
    for (std::size_t i = 0; i + 1 < name.text.size() && gas[i] != '\0'; ++i) {
        const char c = gas[i];
        name.text[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return name;
}

void ForgetSelection(DriverWorkspace& workspace) { workspace.lastStation = NO_STATION; }

bool CountAdmitted(const GateTransfer& transfer) {
    return transfer.count >= 1 && transfer.count <= MAX_BLOCK_COUNT;
}

bool OnlyDigits(std::span<const std::uint8_t> characters) {
    return std::ranges::all_of(characters, [](std::uint8_t c) { return c >= '0' && c <= '?'; });
}

Result SelectStationIfNeeded(DriverWorkspace& workspace, std::uint32_t station, std::span<std::uint8_t> frame,
                             Failure* why) {
    if (workspace.lastStation == station) return RESULT_DONE;
    return SendConfirmed(workspace, frame.first(BuildSelectStation(frame, station)), why);
}

Result SendEchoed(DriverWorkspace& workspace, std::span<const std::uint8_t> frame, Failure* why) {
    const bool sent = SendFrame(workspace, frame);
    const Result echo = CheckEcho(workspace, frame, why);
    if (echo != RESULT_DONE && !sent) Note(why, FAILURE_PORT);
    return echo;
}

Result SendConfirmed(DriverWorkspace& workspace, std::span<const std::uint8_t> frame, Failure* why) {
    if (const Result echo = SendEchoed(workspace, frame, why); echo != RESULT_DONE) return echo;
    return ReadAck(workspace, why);
}

}  // namespace qel
