#include "transact/write_gate.h"

#include <array>

#include "entry/host_log.h"
#include "entry/operation_table.h"
#include "entry/workspace.h"
#include "protocol/digit_codec.h"
#include "protocol/frame_parts.h"
#include "protocol/write_frames.h"
#include "serial/line.h"
#include "serial/serial_port.h"
#include "transact/exchange.h"

namespace qel {

namespace {
constexpr std::size_t WRITE_FRAME_AREA_SIZE = 100;
constexpr std::size_t WRITE_DATA_AREA_SIZE = 8;

void LogReadOnly(const char* gate) {
    HostLog(LOG_INFO, "DAVEV: Can't write to a 'Read-Only' Gate. GAS: %s", gate);
}
}  // namespace

int WriteFa2(DriverWorkspace& workspace, const GateTransfer& transfer, const char* gate) {
    std::array<std::uint8_t, WRITE_FRAME_AREA_SIZE> frame{};
    const std::size_t length = BuildFa2Write(transfer, frame);
    if (length == 0) {
        LogReadOnly(gate);
        return 1;
    }
    return SendConfirmed(workspace, std::span(frame).first(length));
}

int WriteFa3(DriverWorkspace& workspace, const GateTransfer& transfer, const char* gate) {
    std::array<std::uint8_t, WRITE_FRAME_AREA_SIZE> header{};
    // The data message carries exactly one value, and the header announces
    // exactly that, whatever the transfer's count.
    const std::uint16_t area = TransferArea(transfer);
    const std::size_t length = BuildWriteBlockFa3(header, DataByteCount(area, 1), TransferElement(transfer), area);
    if (length == 0) {
        LogReadOnly(gate);
        return 1;
    }
    if (const int sent = SendConfirmed(workspace, std::span(header).first(length)); sent != 0) return sent;
    std::array<std::uint8_t, WRITE_DATA_AREA_SIZE> data{};
    const std::size_t dataLength = BuildWriteData(transfer, data);
    return SendConfirmed(workspace, std::span(data).first(dataLength));
}

int WriteForceBit(DriverWorkspace& workspace, const GateTransfer& transfer) {
    std::array<std::uint8_t, FORCE_BIT_LENGTH> frame{};
    const std::size_t length = BuildForceBit(transfer, frame);
    return SendConfirmed(workspace, std::span(frame).first(length));
}

int WriteForceGate(DriverWorkspace& workspace, const GateTransfer& transfer) {
    std::uint8_t& flag = workspace.forceFlags[transfer.station & 0xFFu];
    const std::uint16_t value = TransferValue(transfer);
    if (flag == 1 && value == 0) {
        std::array<std::uint8_t, CLEAR_FORCE_LENGTH> frame{};
        const std::size_t length = BuildClearForce(frame);
        SendFrame(workspace, std::span(frame).first(length));
        std::array<std::uint8_t, CLEAR_FORCE_ANSWER_LENGTH> answer{};
        if (ReceiveAnswer(workspace, answer) == 0 && ClearForceAnswerAccepted(answer)) {
            flag = 0;
            return 0;
        }
        HostLog(LOG_INFO, "DAVEV: Failed to clear Force Mode !");
        return 1;
    }
    if (flag == 0 && value == 1) flag = 1;
    return 0;
}

std::int32_t WriteGate(const QelRequest* request) {
    DriverWorkspace* workspace = WorkspaceOf(request);
    const GateTransfer* transfer = ParametersOf<const GateTransfer>(request);
    if (workspace == nullptr || transfer == nullptr || transfer->values == nullptr) return 1;
    const GateName gate = UpperCasedGas(transfer->gas);
    // A station outside the table, and a count that is no single value and
    // no block, are refused before any traffic.
    if (transfer->station >= STATION_COUNT || !CountAdmitted(*transfer)) {
        HostLog(LOG_INFO, "DAVEV: Write failed. Gate = %s , rc = %d", gate.c_str(), 1);
        return 1;
    }
    const std::uint16_t area = TransferArea(*transfer);
    const std::uint16_t value = TransferValue(*transfer);
    if ((area == AREA_CP || area == AREA_TP) && value > MAX_PRESET_VALUE) {
        HostLog(LOG_INFO, "DAVEV:Value to write out of range. Gate=%s", gate.c_str());
        return 1;
    }
    const ModelText model = StationModelOf(*workspace, transfer->station);

    std::array<std::uint8_t, REQUEST_AREA_SIZE> selectArea{};
    int result = 2;
    for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
        if (attempt > 0) {
            PurgeInput(*workspace);
            PauseMs(RETRY_PAUSE_MS);
        }
        result = SelectStationIfNeeded(*workspace, transfer->station, selectArea);
        if (result != 0) {
            ForgetSelection(*workspace);
            continue;
        }
        if (area == AREA_FORCE) {
            result = WriteForceGate(*workspace, *transfer);
        } else if (model.Is("FA2")) {
            result = WriteFa2(*workspace, *transfer, gate.c_str());
        } else if (workspace->forceFlags[transfer->station] == 1 && (area == AREA_IO || area == AREA_IR)) {
            result = WriteForceBit(*workspace, *transfer);
        } else {
            result = WriteFa3(*workspace, *transfer, gate.c_str());
        }
        if (result == 0) break;
        // No answer may mean a controller that missed its selection.
        if (result == 2) ForgetSelection(*workspace);
    }
    if (result == 0) {
        workspace->lastStation = static_cast<std::uint16_t>(transfer->station);
    } else {
        ForgetSelection(*workspace);
    }
    if (result != 0) HostLog(LOG_INFO, "DAVEV: Write failed. Gate = %s , rc = %d", gate.c_str(), result);
    return result;
}

}  // namespace qel
