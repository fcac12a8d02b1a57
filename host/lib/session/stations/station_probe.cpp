#include "session/stations/station_probe.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "session/gates/gate_address.h"

namespace qel::session {

namespace {

// The station's force gate ("FORCE") or its first element of an area.
std::string GateOf(unsigned station, const char* area) { return GateAddress{station, area, 0}.Format(); }

unsigned BitsPerCharacter(const LineOptions& line) {
    const unsigned parity = line.parity == "none" ? 0 : 1;
    const unsigned stop = line.stopBits == "1" ? 1 : 2;
    return 1 + line.dataBits + parity + stop;
}

}  // namespace

const char* ProbeAnswerName(ProbeAnswer answer) {
    switch (answer) {
        case ProbeAnswer::Silent: return "silent";
        case ProbeAnswer::Garbled: return "garbled";
        case ProbeAnswer::FA2: return kModelFa2.data();
        case ProbeAnswer::FA3: return kModelFa3.data();
        case ProbeAnswer::Unknown: return "unknown";
    }
    return "?";
}

int ProbeReadTimeout(const LineOptions& line, int probeTimeoutMs) {
    const unsigned baud = line.baud == 0 ? 9600 : line.baud;
    const unsigned ms = 50 + (20 * BitsPerCharacter(line) * 1000 + baud - 1) / baud;
    return std::max(static_cast<int>((ms + 9) / 10), (probeTimeoutMs + 9) / 10);
}

int ProbeTimeoutFor(int tookMs) { return (2 * tookMs + 49) / 50 * 50; }

StationProbe::StationProbe(QelSession& session, Reopen reopen, int readTimeout)
    : session_(session), reopen_(std::move(reopen)), readTimeout_(readTimeout) {}

bool StationProbe::Prepare(int fa2Station) {
    if (preparedFor_ == fa2Station) return true;
    StationModels models;
    for (unsigned s = 0; s < STATION_COUNT; ++s) {
        models.model[s] = ModelText(static_cast<int>(s) == fa2Station ? StationKind::FA2 : StationKind::FA3);
        models.named[s] = true;
    }
    const bool ok = reopen_(models, readTimeout_) == DriverResult::Done;
    preparedFor_ = ok ? fa2Station : -2;
    return ok;
}

bool StationProbe::Answers(unsigned station, int timeoutMs, int* tookMs) {
    if (!Prepare(-1)) return false;
    Gate select;
    select.gas = GateOf(station, "FORCE");
    select.dataType = DATA_TYPE_BIT;
    if (session_.Check(select) != DriverResult::Done) return true;  // let Probe tell what it is
    std::uint16_t slots[2] = {0, 0};
    GateTransfer transfer = TransferOf(select, 1, slots);
    QelAttempt attempt{};
    attempt.transfer = &transfer;
    attempt.timeoutMs = timeoutMs;
    const auto start = std::chrono::steady_clock::now();
    const bool done = DriverResultOf(session_.Request(QEL_WRITE_ATTEMPT, &attempt)) == DriverResult::Done;
    if (tookMs != nullptr)
        *tookMs = !done ? -1
                        : static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - start)
                                               .count());
    return done || attempt.failure != QEL_FAILURE_NO_ANSWER;
}

std::optional<int> StationProbe::AnswerTime(unsigned station, int timeoutMs) {
    int took = -1;
    for (int look = 0; look < 2; ++look) {
        const auto start = std::chrono::steady_clock::now();
        if (!Answers(station, timeoutMs, &took)) return std::nullopt;
        if (took >= 0) return took;
        took = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    }
    return took;
}

ProbeAnswer StationProbe::Probe(unsigned station) {
    if (!Prepare(-1)) return ProbeAnswer::Silent;
    std::vector<std::uint16_t> values;

    Gate select;
    select.gas = GateOf(station, "FORCE");
    select.dataType = DATA_TYPE_BIT;
    if (session_.Check(select) != DriverResult::Done) return ProbeAnswer::Unknown;
    const DriverResult selected = session_.Write(select, 0);
    if (selected == DriverResult::LineFailure) return ProbeAnswer::Silent;
    if (selected != DriverResult::Done) return ProbeAnswer::Garbled;

    Gate read;
    read.gas = GateOf(station, "DR");
    if (session_.Check(read) == DriverResult::Done && session_.Read(read, values) == DriverResult::Done) return ProbeAnswer::FA3;

    if (!Prepare(static_cast<int>(station))) return ProbeAnswer::Unknown;
    if (session_.Check(read) == DriverResult::Done && session_.Read(read, values) == DriverResult::Done) return ProbeAnswer::FA2;
    return ProbeAnswer::Unknown;
}

}  // namespace qel::session
