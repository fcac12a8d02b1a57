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
#include "protocol/ack.h"
#include "transact/attempt.h"
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

Result WriteFa2(DriverWorkspace& workspace, const GateTransfer& transfer, const char* gate, Failure* why) {
    std::array<std::uint8_t, WRITE_FRAME_AREA_SIZE> frame{};
    const std::size_t length = BuildFa2Write(frame, TransferArea(transfer), TransferElement(transfer), TransferValue(transfer));
    if (length == 0) {
        LogReadOnly(gate);
        Note(why, FAILURE_REFUSED);
        return RESULT_REFUSED;
    }
    return SendConfirmed(workspace, std::span(frame).first(length), why);
}

Result WriteFa3(DriverWorkspace& workspace, const GateTransfer& transfer, const char* gate, Failure* why) {
    std::array<std::uint8_t, WRITE_FRAME_AREA_SIZE> header{};
    // The data message carries exactly one value, and the header announces
    // exactly that, whatever the transfer's count.
    const std::uint16_t area = TransferArea(transfer);
    const std::size_t length = BuildWriteBlockFa3(header, DataByteCount(area, 1), TransferElement(transfer), area);
    if (length == 0) {
        LogReadOnly(gate);
        Note(why, FAILURE_REFUSED);
        return RESULT_REFUSED;
    }
    if (const Result sent = SendConfirmed(workspace, std::span(header).first(length), why); sent != RESULT_DONE) {
        return sent;
    }
    std::array<std::uint8_t, WRITE_DATA_AREA_SIZE> data{};
    const std::size_t dataLength = BuildWriteData(data, transfer.dataType, TransferValue(transfer));
    return SendConfirmed(workspace, std::span(data).first(dataLength), why);
}

Result WriteForceBit(DriverWorkspace& workspace, const GateTransfer& transfer, Failure* why) {
    std::array<std::uint8_t, FORCE_BIT_LENGTH> frame{};
    const std::size_t length = BuildForceBit(frame, TransferArea(transfer), TransferElement(transfer), TransferValue(transfer));
    return SendConfirmed(workspace, std::span(frame).first(length), why);
}

Result WriteForceGate(DriverWorkspace& workspace, const GateTransfer& transfer, Failure* why) {
    std::uint8_t& flag = workspace.forceFlags[transfer.station & 0xFFu];
    const std::uint16_t value = TransferValue(transfer);
    if (flag == 1 && value == 0) {
        std::array<std::uint8_t, CLEAR_FORCE_LENGTH> frame{};
        const std::size_t length = BuildClearForce(frame);
        const bool sent = SendFrame(workspace, std::span(frame).first(length));
        std::array<std::uint8_t, CLEAR_FORCE_ANSWER_LENGTH> answer{};
        Failure received = FAILURE_NONE;
        if (ReceiveAnswer(workspace, answer, &received) == RESULT_DONE) {
            if (ClearForceAnswerAccepted(answer)) {
                flag = 0;
                return RESULT_DONE;
            }
            // The echo, then what stands where the Ack should.
            received = answer[CLEAR_FORCE_LENGTH] == NAK_CODE ? FAILURE_NAK : FAILURE_MALFORMED;
        } else if (!sent) {
            received = FAILURE_PORT;
        }
        Note(why, received);
        HostLog(LOG_INFO, "DAVEV: Failed to clear Force Mode !");
        return RESULT_REFUSED;
    }
    if (flag == 0 && value == 1) flag = 1;
    return RESULT_DONE;
}

WriteRefusal WriteRefused(const GateTransfer& transfer) {
    if (transfer.station >= STATION_COUNT || !CountAdmitted(transfer)) return WriteRefusal::Transfer;
    const std::uint16_t area = TransferArea(transfer);
    if ((area == AREA_CP || area == AREA_TP) && TransferValue(transfer) > MAX_PRESET_VALUE) {
        return WriteRefusal::OutOfRange;
    }
    return WriteRefusal::None;
}

Result WriteExchange(DriverWorkspace& workspace, const GateTransfer& transfer, StationKind kind, const char* gate,
                     Failure* why) {
    const std::uint16_t area = TransferArea(transfer);
    if (area == AREA_FORCE) return WriteForceGate(workspace, transfer, why);
    if (kind == StationKind::FA2) return WriteFa2(workspace, transfer, gate, why);
    if (workspace.forceFlags[transfer.station & 0xFFu] == 1 && (area == AREA_IO || area == AREA_IR)) {
        return WriteForceBit(workspace, transfer, why);
    }
    return WriteFa3(workspace, transfer, gate, why);
}

std::int32_t WriteGate(const QelRequest* request) {
    DriverWorkspace* workspace = WorkspaceOf(request);
    const GateTransfer* transfer = ParametersOf<const GateTransfer>(request);
    if (workspace == nullptr || transfer == nullptr || transfer->values == nullptr) return RESULT_REFUSED;
    const GateName gate = UpperCasedGas(transfer->gas);
    switch (WriteRefused(*transfer)) {
    case WriteRefusal::Transfer:
        HostLog(LOG_INFO, "DAVEV: Write failed. Gate = %s , rc = %d", gate.c_str(), 1);
        return RESULT_REFUSED;
    case WriteRefusal::OutOfRange:
        HostLog(LOG_INFO, "DAVEV:Value to write out of range. Gate=%s", gate.c_str());
        return RESULT_REFUSED;
    case WriteRefusal::None:
        break;
    }
    const StationKind kind = StationKindOf(*workspace, transfer->station);
    std::array<std::uint8_t, REQUEST_AREA_SIZE> selectArea{};
    const Attempt last = RunAttempts(
        *workspace, transfer->station, selectArea,
        [&](Failure* why) { return WriteExchange(*workspace, *transfer, kind, gate.c_str(), why); },
        [](int) {});
    if (last.result != RESULT_DONE) {
        HostLog(LOG_INFO, "DAVEV: Write failed. Gate = %s , rc = %d", gate.c_str(), last.result);
    }
    return last.result;
}

}  // namespace qel
