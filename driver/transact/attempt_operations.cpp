#include "transact/attempt_operations.h"

#include <algorithm>
#include <array>
#include <span>

#include "base/workspace.h"
#include "config/station_models.h"
#include "transact/attempt.h"
#include "transact/read_gate.h"
#include "transact/write_gate.h"

namespace qel {

namespace {

// The longest frame a write sends, or answer it waits for, in characters.
constexpr std::uint32_t WRITE_ANSWER_CHARACTERS = 15;

// The block as nothing has happened yet: refused, no trailer.
QelAttempt* PreparedBlock(const QelRequest* request) {
    QelAttempt* block = ParametersOf<QelAttempt>(request);
    if (block == nullptr) return nullptr;
    block->failure = FAILURE_REFUSED;
    block->trailerLength = 0;
    std::ranges::fill(block->trailer, std::uint8_t{0});
    return block;
}

std::uint32_t AttemptMs(const DriverWorkspace& workspace, const QelAttempt& block, std::uint32_t characters) {
    const std::uint32_t floor = AnswerTimeFloorMs(workspace.port, characters);
    return block.timeoutMs > 0 ? std::max(static_cast<std::uint32_t>(block.timeoutMs), floor) : floor;
}

std::int32_t Report(QelAttempt& block, const Attempt& attempt) {
    block.failure = attempt.failure;
    // A step that failed without telling why had a line that failed it.
    if (attempt.result != RESULT_DONE && attempt.failure == FAILURE_NONE) block.failure = FAILURE_PORT;
    return attempt.result;
}

}  // namespace

std::int32_t ReadAttemptOperation(const QelRequest* request) {
    DriverWorkspace* workspace = WorkspaceOf(request);
    QelAttempt* block = PreparedBlock(request);
    if (workspace == nullptr || block == nullptr) return RESULT_REFUSED;
    const GateTransfer* transfer = block->transfer;
    if (transfer == nullptr || transfer->values == nullptr || ReadRefused(*workspace, *transfer)) {
        return RESULT_REFUSED;
    }

    const StationKind kind = StationKindOf(*workspace, transfer->station);
    std::array<std::uint8_t, REQUEST_AREA_SIZE> requestArea{};
    std::array<std::uint8_t, REPLY_AREA_SIZE> replyArea{};
    Trailer trailer{std::span(block->trailer)};
    Attempt attempt;
    {
        const AttemptTimeout timeout(*workspace, AttemptMs(*workspace, *block, ReadAnswerCharacters(*transfer)));
        attempt = RunAttempt(*workspace, transfer->station, requestArea, [&](Failure* why) {
            return ReadExchange(*workspace, *transfer, kind, requestArea, replyArea, why, &trailer);
        });
    }
    FinishTransaction(*workspace, transfer->station, attempt.result);
    block->trailerLength = static_cast<std::int32_t>(trailer.length);
    return Report(*block, attempt);
}

std::int32_t WriteAttemptOperation(const QelRequest* request) {
    DriverWorkspace* workspace = WorkspaceOf(request);
    QelAttempt* block = PreparedBlock(request);
    if (workspace == nullptr || block == nullptr) return RESULT_REFUSED;
    const GateTransfer* transfer = block->transfer;
    if (transfer == nullptr || transfer->values == nullptr || WriteRefused(*transfer) != WriteRefusal::None) {
        return RESULT_REFUSED;
    }

    const StationKind kind = StationKindOf(*workspace, transfer->station);
    const GateName gate = UpperCasedGas(transfer->gas);
    std::array<std::uint8_t, REQUEST_AREA_SIZE> selectArea{};
    Attempt attempt;
    {
        const AttemptTimeout timeout(*workspace, AttemptMs(*workspace, *block, WRITE_ANSWER_CHARACTERS));
        attempt = RunAttempt(*workspace, transfer->station, selectArea, [&](Failure* why) {
            return WriteExchange(*workspace, *transfer, kind, gate.c_str(), why);
        });
    }
    FinishTransaction(*workspace, transfer->station, attempt.result);
    return Report(*block, attempt);
}

}  // namespace qel
