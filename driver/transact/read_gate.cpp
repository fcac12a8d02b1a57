#include "transact/read_gate.h"

#include <algorithm>
#include <array>

#include "base/host_log.h"
#include "base/workspace.h"
#include "config/station_models.h"
#include "protocol/digit_codec.h"
#include "protocol/read_frames.h"
#include "protocol/reply.h"
#include "serial/line.h"
#include "transact/attempt.h"
#include "transact/exchange.h"
#include "transact/receive_ack.h"
#include "transact/transfer_fields.h"

namespace qel {

namespace {

// The longest request frame of the protocol, whose echo is read back.
constexpr std::uint32_t LONGEST_FRAME = 15;

// Judges what was received: RESULT_DONE when every character is a digit of
// the line's alphabet, else RESULT_REFUSED (FAILURE_MALFORMED).
Result DigitsOnly(std::span<const std::uint8_t> characters, Failure* why) {
    if (OnlyDigits(characters)) return RESULT_DONE;
    Note(why, FAILURE_MALFORMED);
    return RESULT_REFUSED;
}

// The request and its reply, without the decoding. The reply's length goes
// to `received`.
Result RequestAndReply(DriverWorkspace& workspace, const GateTransfer& transfer, StationKind kind,
                       std::span<std::uint8_t> request, std::span<std::uint8_t> reply, std::size_t& received,
                       Failure* why, Trailer* trailer) {
    const std::uint16_t area = TransferArea(transfer);
    const std::uint16_t count = TransferCount(transfer);
    const std::size_t length =
        kind == StationKind::FA2 ? BuildFa2Read(request, area, TransferElement(transfer), count)
                                 : BuildReadBlockFa3(request, DataByteCount(area, count), TransferElement(transfer), area);
    const auto frame = request.first(length);
    if (const Result echo = SendEchoed(workspace, frame, why); echo != RESULT_DONE) {
        // No frame for the gate: nothing but the purge went on the line.
        if (length == 0) Note(why, FAILURE_REFUSED);
        return echo;
    }

    if (kind == StationKind::FA3 || (count > 1 && area == AREA_DR)) {
        if (const Result ack = ReadAck(workspace, why); ack != RESULT_DONE) return ack;
        received = 2u * DataByteCount(area, count);
        if (const Result got = ReceiveReply(workspace, reply.first(received), why); got != RESULT_DONE) return got;
        if (trailer != nullptr) trailer->length = ReceiveTrailer(workspace, trailer->characters);
        // BlockData carries no checksum: every character must at least be a digit.
        return DigitsOnly(reply.first(received), why);
    }
    received = ReplyLength(request[0], request[1]);
    if (received == 0) {
        Note(why, FAILURE_REFUSED);
        return RESULT_LINE_FAILURE;
    }
    const auto answer = reply.first(received);
    if (const Result got = ReceiveReply(workspace, answer, why); got != RESULT_DONE) return got;
    if (const Result checked = CheckReply(frame, answer); checked != RESULT_DONE) {
        Note(why, FAILURE_MALFORMED);
        return checked;
    }
    // The data and checksum characters, between the reply code and the CR.
    return DigitsOnly(answer.subspan(1, received - 2), why);
}

}  // namespace

bool ReadRefused(const DriverWorkspace& workspace, const GateTransfer& transfer) {
    const std::uint16_t area = TransferArea(transfer);
    return transfer.station >= STATION_COUNT || !CountAdmitted(transfer) ||
           (StationKindOf(workspace, transfer.station) != StationKind::FA2 &&
            (area == AREA_WO || area == AREA_FORCE));
}

Result ReadExchange(DriverWorkspace& workspace, const GateTransfer& transfer, StationKind kind,
                    std::span<std::uint8_t> request, std::span<std::uint8_t> reply, Failure* why, Trailer* trailer) {
    std::size_t received = 0;
    const Result result = RequestAndReply(workspace, transfer, kind, request, reply, received, why, trailer);
    if (result == RESULT_DONE) {
        DecodeReply(TransferArea(transfer), TransferCount(transfer), kind, reply.first(received),
                    TransferSlots(transfer));
    }
    return result;
}

std::uint32_t ReadAnswerCharacters(const GateTransfer& transfer) {
    const std::uint32_t data = 2u * DataByteCount(TransferArea(transfer), TransferCount(transfer));
    return std::max(LONGEST_FRAME, data);
}

std::int32_t ReadGate(const QelRequest* request) {
    DriverWorkspace* workspace = WorkspaceOf(request);
    const GateTransfer* transfer = ParametersOf<const GateTransfer>(request);
    if (workspace == nullptr || transfer == nullptr || transfer->values == nullptr) return RESULT_REFUSED;
    if (ReadRefused(*workspace, *transfer)) {
        HostLog(LOG_INFO, "DAVEV: Read failed. Gate = %s, rc = %d", GasAsPassed(transfer->gas), 1);
        return RESULT_REFUSED;
    }

    const StationKind kind = StationKindOf(*workspace, transfer->station);
    const GateName gate = UpperCasedGas(transfer->gas);
    std::array<std::uint8_t, REQUEST_AREA_SIZE> requestArea{};
    std::array<std::uint8_t, REPLY_AREA_SIZE> replyArea{};
    const Attempt last = RunAttempts(
        *workspace, transfer->station, requestArea,
        [&](Failure* why) { return ReadExchange(*workspace, *transfer, kind, requestArea, replyArea, why); },
        [&](int number) { HostLog(LOG_INFO, "DAVEV: Gate %s, Read Retry %d", gate.c_str(), number); });
    if (last.result != RESULT_DONE) {
        HostLog(LOG_INFO, "DAVEV: Read failed. Gate = %s, rc = %d", GasAsPassed(transfer->gas), last.result);
    }
    return last.result;
}

std::int32_t ReadSingle(const QelRequest* request) { return ReadGate(request); }

}  // namespace qel
