// The pieces every read and write exchange shares: the attempt constants, the
// upper-cased gate name for messages, the station's model, the station
// selection and the send-echo-acknowledge step.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "base/result.h"
#include "vuzorur.h"

namespace qel {

constexpr int MAX_ATTEMPTS = 5;
constexpr std::uint32_t RETRY_PAUSE_MS = 600;
constexpr std::size_t REQUEST_AREA_SIZE = 20;
constexpr std::size_t REPLY_AREA_SIZE = 1800;
constexpr std::uint16_t MAX_PRESET_VALUE = 9999;

// The gate address for messages: at most 19 characters, upper-cased, always
// terminated; a missing address reads as an empty name.
struct GateName {
    std::array<char, 20> text{};
    const char* c_str() const { return text.data(); }
};
GateName UpperCasedGas(const char* gas);
// The host's text as passed, for messages; "" for none.
inline const char* GasAsPassed(const char* gas) { return gas != nullptr ? gas : ""; }

// Selects the station when it is not the last one addressed: SelectStation,
// its echo, its Ack. RESULT_DONE, or the failing step's result (and its
// failure in `why`). `frame` is the caller's request area, which then carries
// the select frame.
Result SelectStationIfNeeded(DriverWorkspace& workspace, std::uint32_t station, std::span<std::uint8_t> frame,
                             Failure* why = nullptr);

// A failed exchange forgets the selection: a controller that missed its
// SelectStation is not selected. The transactions forget it after an
// attempt that got no answer, so that the next attempt selects again, and
// after any failed transaction, so that the next one does.
void ForgetSelection(DriverWorkspace& workspace);

// A transfer's count is 1 for a single value, at most MAX_BLOCK_COUNT for a
// block; anything else would reach outside the host's array.
bool CountAdmitted(const GateTransfer& transfer);

// The controller sends data only as digits of the line's alphabet ('0' to
// '?'); a reply with any other character in its data is rejected.
bool OnlyDigits(std::span<const std::uint8_t> characters);

// Sends a frame and compares its echo: CheckEcho's result. A frame the port
// did not take whole is FAILURE_PORT when the echo then fails.
Result SendEchoed(DriverWorkspace& workspace, std::span<const std::uint8_t> frame, Failure* why = nullptr);

// Sends a frame, compares its echo and reads the Ack: the first non-zero
// result, else RESULT_DONE.
Result SendConfirmed(DriverWorkspace& workspace, std::span<const std::uint8_t> frame, Failure* why = nullptr);

}  // namespace qel
