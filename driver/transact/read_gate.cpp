#include "transact/read_gate.h"

#include <array>

#include "entry/host_log.h"
#include "entry/operation_table.h"
#include "entry/workspace.h"
#include "protocol/ack.h"
#include "protocol/digit_codec.h"
#include "protocol/frame_parts.h"
#include "protocol/read_frames.h"
#include "protocol/reply.h"
#include "serial/line.h"
#include "serial/serial_port.h"
#include "transact/exchange.h"

namespace qel {

namespace {

// One attempt: selection, request, echo, reply. 0 with the reply's length in
// `received`, or the failing step's result.
int ReadAttempt(DriverWorkspace& workspace, const GateTransfer& transfer, const ModelText& model,
                std::span<std::uint8_t> request, std::span<std::uint8_t> reply, std::size_t& received) {
    if (const int selected = SelectStationIfNeeded(workspace, transfer.station, request); selected != 0) {
        return selected;
    }
    const std::uint16_t area = TransferArea(transfer);
    const std::uint16_t count = TransferCount(transfer);
    const std::size_t length =
        model.Is("FA2") ? BuildFa2Read(transfer, request)
                        : BuildReadBlockFa3(request, DataByteCount(area, count), TransferElement(transfer), area);
    const auto frame = request.first(length);
    SendFrame(workspace, frame);
    if (const int echo = CheckEcho(workspace, frame); echo != 0) return echo;

    if (model.Is("FA3") || (count > 1 && area == AREA_DR)) {
        if (const int ack = ReadAck(workspace); ack != 0) return ack;
        received = 2u * DataByteCount(area, count);
        if (const int got = ReceiveReply(workspace, reply.first(received)); got != 0) return got;
        // BlockData carries no checksum: every character must at least be a digit.
        return OnlyDigits(reply.first(received)) ? 0 : 1;
    }
    received = ReplyLength(request[0], request[1]);
    if (received == 0) return 2;
    const auto answer = reply.first(received);
    if (const int got = ReceiveReply(workspace, answer); got != 0) return got;
    if (const int checked = CheckReply(frame, answer); checked != 0) return checked;
    // The data and checksum characters, between the reply code and the CR.
    return OnlyDigits(answer.subspan(1, received - 2)) ? 0 : 1;
}

}  // namespace

std::int32_t ReadGate(const QelRequest* request) {
    DriverWorkspace* workspace = WorkspaceOf(request);
    const GateTransfer* transfer = ParametersOf<const GateTransfer>(request);
    if (workspace == nullptr || transfer == nullptr || transfer->values == nullptr) return 1;
    // A station outside the table, a count that is no single value and no
    // block, and the word outputs and the FORCE gate of an FA3 station (which
    // have no read frame) are refused before any traffic.
    const ModelText model = StationModelOf(*workspace, transfer->station);
    const std::uint16_t area = TransferArea(*transfer);
    if (transfer->station >= STATION_COUNT || !CountAdmitted(*transfer) ||
        (!model.Is("FA2") && (area == AREA_WO || area == AREA_FORCE))) {
        HostLog(LOG_INFO, "DAVEV: Read failed. Gate = %s, rc = %d", GasAsPassed(transfer->gas), 1);
        return 1;
    }

    const GateName gate = UpperCasedGas(transfer->gas);
    std::array<std::uint8_t, REQUEST_AREA_SIZE> requestArea{};
    std::array<std::uint8_t, REPLY_AREA_SIZE> replyArea{};
    int result = 2;
    for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
        if (attempt > 0) {
            PurgeInput(*workspace);
            HostLog(LOG_INFO, "DAVEV: Gate %s, Read Retry %d", gate.c_str(), attempt);
            PauseMs(RETRY_PAUSE_MS);
        }
        std::size_t received = 0;
        result = ReadAttempt(*workspace, *transfer, model, requestArea, replyArea, received);
        if (result == 0) {
            DecodeReply(*transfer, model.Is("FA2"), model.Is("FA3"), std::span(replyArea).first(received),
                        TransferSlots(*transfer));
            break;
        }
        // No answer may mean a controller that missed its selection.
        if (result == 2) ForgetSelection(*workspace);
    }
    if (result == 0) {
        workspace->lastStation = static_cast<std::uint16_t>(transfer->station);
    } else {
        ForgetSelection(*workspace);
    }
    if (result != 0) {
        HostLog(LOG_INFO, "DAVEV: Read failed. Gate = %s, rc = %d", GasAsPassed(transfer->gas), result);
    }
    return result;
}

std::int32_t ReadSingle(const QelRequest* request) { return ReadGate(request); }

}  // namespace qel
