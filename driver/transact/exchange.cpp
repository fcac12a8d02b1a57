#include "transact/exchange.h"

#include <algorithm>
#include <cstring>

#include "protocol/ack.h"
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

bool ModelText::Is(const char* model) const { return std::strcmp(text.data(), model) == 0; }

ModelText StationModelOf(const DriverWorkspace& workspace, std::uint32_t station) {
    ModelText model;
    std::memcpy(model.text.data(), workspace.stationModel[station & 0xFFu], STATION_MODEL_SIZE);
    return model;
}

void ForgetSelection(DriverWorkspace& workspace) { workspace.lastStation = NO_STATION; }

bool CountAdmitted(const GateTransfer& transfer) {
    return transfer.count >= 1 && transfer.count <= MAX_BLOCK_COUNT;
}

bool OnlyDigits(std::span<const std::uint8_t> characters) {
    return std::ranges::all_of(characters, [](std::uint8_t c) { return c >= '0' && c <= '?'; });
}

int SelectStationIfNeeded(DriverWorkspace& workspace, std::uint32_t station, std::span<std::uint8_t> frame) {
    if (workspace.lastStation == station) return 0;
    return SendConfirmed(workspace, frame.first(BuildSelectStation(frame, station)));
}

int SendConfirmed(DriverWorkspace& workspace, std::span<const std::uint8_t> frame) {
    SendFrame(workspace, frame);
    if (const int echo = CheckEcho(workspace, frame); echo != 0) return echo;
    return ReadAck(workspace);
}

}  // namespace qel
