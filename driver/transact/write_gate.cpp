#include "transact/write_gate.h"

#include <array>

#include "base/host_log.h"
#include "base/workspace.h"
#include "config/station_models.h"
#include "protocol/digit_codec.h"
#include "protocol/frame_parts.h"
#include "protocol/write_frames.h"
#include "serial/line.h"
#include "serial/serial_port.h"
#include "transact/exchange.h"
#include "transact/transfer_fields.h"

namespace qel {

namespace {
constexpr std::size_t WRITE_FRAME_AREA_SIZE = 100;
constexpr std::size_t WRITE_DATA_AREA_SIZE = 8;

void LogReadOnly(const char* gate) {
    HostLog(LOG_INFO, "DAVEV: Can't write to a 'Read-Only' Gate. GAS: %s", gate);
}
}  // namespace

Result WriteFa2(DriverWorkspace& workspace, const GateTransfer& transfer, const char* gate) {
    std::array<std::uint8_t, WRITE_FRAME_AREA_SIZE> frame{};
    const std::size_t length = BuildFa2Write(frame, TransferArea(transfer), TransferElement(transfer), TransferValue(transfer));
    if (length == 0) {
        LogReadOnly(gate);
        return RESULT_REFUSED;
    }
    return SendConfirmed(workspace, std::span(frame).first(length));
}

Result WriteFa3(DriverWorkspace& workspace, const GateTransfer& transfer, const char* gate) {
    std::array<std::uint8_t, WRITE_FRAME_AREA_SIZE> header{};
    // The data message carries exactly one value, and the header announces
    // exactly that, whatever the transfer's count.
    const std::uint16_t area = TransferArea(transfer);
    const std::size_t length = BuildWriteBlockFa3(header, DataByteCount(area, 1), TransferElement(transfer), area);
    if (length == 0) {
        LogReadOnly(gate);
        return RESULT_REFUSED;
    }
    if (const Result sent = SendConfirmed(workspace, std::span(header).first(length)); sent != RESULT_DONE) return sent;
    std::array<std::uint8_t, WRITE_DATA_AREA_SIZE> data{};
    const std::size_t dataLength = BuildWriteData(data, transfer.dataType, TransferValue(transfer));
    return SendConfirmed(workspace, std::span(data).first(dataLength));
}

Result WriteForceBit(DriverWorkspace& workspace, const GateTransfer& transfer) {
    std::array<std::uint8_t, FORCE_BIT_LENGTH> frame{};
    const std::size_t length = BuildForceBit(frame, TransferArea(transfer), TransferElement(transfer), TransferValue(transfer));
    return SendConfirmed(workspace, std::span(frame).first(length));
}

Result WriteForceGate(DriverWorkspace& workspace, const GateTransfer& transfer) {
    std::uint8_t& flag = workspace.forceFlags[transfer.station & 0xFFu];
    const std::uint16_t value = TransferValue(transfer);
    if (flag == 1 && value == 0) {
        std::array<std::uint8_t, CLEAR_FORCE_LENGTH> frame{};
        const std::size_t length = BuildClearForce(frame);
        SendFrame(workspace, std::span(frame).first(length));
        std::array<std::uint8_t, CLEAR_FORCE_ANSWER_LENGTH> answer{};
        if (ReceiveAnswer(workspace, answer) == RESULT_DONE && ClearForceAnswerAccepted(answer)) {
            flag = 0;
            return RESULT_DONE;
        }
        HostLog(LOG_INFO, "DAVEV: Failed to clear Force Mode !");
        return RESULT_REFUSED;
    }
    if (flag == 0 && value == 1) flag = 1;
    return RESULT_DONE;
}

std::int32_t WriteGate(const QelRequest* request) {
    DriverWorkspace* workspace = WorkspaceOf(request);
    const GateTransfer* transfer = ParametersOf<const GateTransfer>(request);
    if (workspace == nullptr || transfer == nullptr || transfer->values == nullptr) return RESULT_REFUSED;
    const GateName gate = UpperCasedGas(transfer->gas);
    // A station outside the table, and a count that is no single value and
    // no block, are refused before any traffic.
    if (transfer->station >= STATION_COUNT || !CountAdmitted(*transfer)) {
        HostLog(LOG_INFO, "DAVEV: Write failed. Gate = %s , rc = %d", gate.c_str(), 1);
        return RESULT_REFUSED;
    }
    const std::uint16_t area = TransferArea(*transfer);
    const std::uint16_t value = TransferValue(*transfer);
    if ((area == AREA_CP || area == AREA_TP) && value > MAX_PRESET_VALUE) {
        HostLog(LOG_INFO, "DAVEV:Value to write out of range. Gate=%s", gate.c_str());
        return RESULT_REFUSED;
    }
    const ModelText model = StationModelOf(*workspace, transfer->station);

    std::array<std::uint8_t, REQUEST_AREA_SIZE> selectArea{};
    Result result = RESULT_LINE_FAILURE;
    for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
        if (attempt > 0) {
            PurgeInput(*workspace);
            PauseMs(RETRY_PAUSE_MS);
        }
        result = SelectStationIfNeeded(*workspace, transfer->station, selectArea);
        if (result != RESULT_DONE) {
            ForgetSelection(*workspace);
            continue;
        }
        if (area == AREA_FORCE) {
            result = WriteForceGate(*workspace, *transfer);
        } else if (model.Is(kModelFa2)) {
            result = WriteFa2(*workspace, *transfer, gate.c_str());
        } else if (workspace->forceFlags[transfer->station] == 1 && (area == AREA_IO || area == AREA_IR)) {
            result = WriteForceBit(*workspace, *transfer);
        } else {
            result = WriteFa3(*workspace, *transfer, gate.c_str());
        }
        if (result == RESULT_DONE) break;
        // No answer may mean a controller that missed its selection.
        if (result == RESULT_LINE_FAILURE) ForgetSelection(*workspace);
    }
    if (result == RESULT_DONE) {
        workspace->lastStation = static_cast<std::uint16_t>(transfer->station);
    } else {
        ForgetSelection(*workspace);
    }
    if (result != RESULT_DONE) HostLog(LOG_INFO, "DAVEV: Write failed. Gate = %s , rc = %d", gate.c_str(), result);
    return result;
}

}  // namespace qel
