#include "transact/read_gate.h"

#include <array>

#include "base/host_log.h"
#include "base/workspace.h"
#include "transact/receive_ack.h"
#include "config/station_models.h"
#include "protocol/digit_codec.h"
#include "protocol/frame_parts.h"
#include "protocol/read_frames.h"
#include "protocol/reply.h"
#include "serial/line.h"
#include "serial/serial_port.h"
#include "transact/exchange.h"
#include "transact/transfer_fields.h"

namespace qel {

namespace {

// One attempt: selection, request, echo, reply. 0 with the reply's length in
// `received`, or the failing step's result.
Result ReadAttempt(DriverWorkspace& workspace, const GateTransfer& transfer, const ModelText& model,
                std::span<std::uint8_t> request, std::span<std::uint8_t> reply, std::size_t& received) {
    if (const Result selected = SelectStationIfNeeded(workspace, transfer.station, request); selected != RESULT_DONE) {
        return selected;
    }
    const std::uint16_t area = TransferArea(transfer);
    const std::uint16_t count = TransferCount(transfer);
    const std::size_t length =
        model.Is(kModelFa2) ? BuildFa2Read(request, area, TransferElement(transfer), count)
                        : BuildReadBlockFa3(request, DataByteCount(area, count), TransferElement(transfer), area);
    const auto frame = request.first(length);
    SendFrame(workspace, frame);
    if (const Result echo = CheckEcho(workspace, frame); echo != RESULT_DONE) return echo;

    if (model.Is(kModelFa3) || (count > 1 && area == AREA_DR)) {
        if (const Result ack = ReadAck(workspace); ack != RESULT_DONE) return ack;
        received = 2u * DataByteCount(area, count);
        if (const Result got = ReceiveReply(workspace, reply.first(received)); got != RESULT_DONE) return got;
        // BlockData carries no checksum: every character must at least be a digit.
        return OnlyDigits(reply.first(received)) ? RESULT_DONE : RESULT_REFUSED;
    }
    received = ReplyLength(request[0], request[1]);
    if (received == 0) return RESULT_LINE_FAILURE;
    const auto answer = reply.first(received);
    if (const Result got = ReceiveReply(workspace, answer); got != RESULT_DONE) return got;
    if (const Result checked = CheckReply(frame, answer); checked != RESULT_DONE) return checked;
    // The data and checksum characters, between the reply code and the CR.
    return OnlyDigits(answer.subspan(1, received - 2)) ? RESULT_DONE : RESULT_REFUSED;
}

}  // namespace

std::int32_t ReadGate(const QelRequest* request) {
    DriverWorkspace* workspace = WorkspaceOf(request);
    const GateTransfer* transfer = ParametersOf<const GateTransfer>(request);
    if (workspace == nullptr || transfer == nullptr || transfer->values == nullptr) return RESULT_REFUSED;
    // A station outside the table, a count that is no single value and no
    // block, and the word outputs and the FORCE gate of an FA3 station (which
    // have no read frame) are refused before any traffic.
    const ModelText model = StationModelOf(*workspace, transfer->station);
    const std::uint16_t area = TransferArea(*transfer);
    if (transfer->station >= STATION_COUNT || !CountAdmitted(*transfer) ||
        (!model.Is(kModelFa2) && (area == AREA_WO || area == AREA_FORCE))) {
        HostLog(LOG_INFO, "DAVEV: Read failed. Gate = %s, rc = %d", GasAsPassed(transfer->gas), 1);
        return RESULT_REFUSED;
    }

    const GateName gate = UpperCasedGas(transfer->gas);
    std::array<std::uint8_t, REQUEST_AREA_SIZE> requestArea{};
    std::array<std::uint8_t, REPLY_AREA_SIZE> replyArea{};
    Result result = RESULT_LINE_FAILURE;
    for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
        if (attempt > 0) {
            PurgeInput(*workspace);
            HostLog(LOG_INFO, "DAVEV: Gate %s, Read Retry %d", gate.c_str(), attempt);
            PauseMs(RETRY_PAUSE_MS);
        }
        std::size_t received = 0;
        result = ReadAttempt(*workspace, *transfer, model, requestArea, replyArea, received);
        if (result == RESULT_DONE) {
            DecodeReply(area, TransferCount(*transfer), model.Is(kModelFa2), model.Is(kModelFa3), std::span(replyArea).first(received),
                        TransferSlots(*transfer));
            break;
        }
        // No answer may mean a controller that missed its selection.
        if (result == RESULT_LINE_FAILURE) ForgetSelection(*workspace);
    }
    if (result == RESULT_DONE) {
        workspace->lastStation = static_cast<std::uint16_t>(transfer->station);
    } else {
        ForgetSelection(*workspace);
    }
    if (result != RESULT_DONE) {
        HostLog(LOG_INFO, "DAVEV: Read failed. Gate = %s, rc = %d", GasAsPassed(transfer->gas), result);
    }
    return result;
}

std::int32_t ReadSingle(const QelRequest* request) { return ReadGate(request); }

}  // namespace qel
