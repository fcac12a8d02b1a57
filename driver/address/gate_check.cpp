#include "address/gate_check.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "address/area_table.h"
#include "base/workspace.h"
#include "config/station_models.h"

namespace qel {

namespace {

// Stored in every GateDefinition the checks see, accepted or not.
constexpr std::uint32_t FIXED_OUT_1 = 255;
constexpr std::uint32_t FIXED_OUT_2 = 16;

constexpr std::size_t STATION_DIGITS = 3;
constexpr std::size_t MNEMONIC_POSITION = 3;
constexpr std::size_t ELEMENT_POSITION = 5;
constexpr std::size_t MAX_ELEMENT_DIGITS = 4;

// The host's text is read up to its terminator or up to this many
// characters, whichever comes first: one more than a GAS may have is enough
// to know that it is too long.
constexpr std::size_t SCAN_LIMIT = MAX_GAS_LENGTH + 1;
static_assert(SCAN_LIMIT < GAS_SCRATCH_SIZE, "the scan must fit the scratch with its terminator");

// Block gates of FA2 bit areas are exactly one byte; those of FA3 bit areas
// are whole bytes.
constexpr std::int32_t BITS_PER_BYTE = 8;

using Scratch = std::span<std::uint8_t, GAS_SCRATCH_SIZE>;

constexpr bool IsDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }
constexpr bool IsBitDigit(std::uint8_t c) { return c >= '0' && c <= '7'; }

// Lower-case ASCII letters (and the signs and DEL after 'z') lose 32; everything
// else, bytes above 127 included, is copied as it is and so can never pass
// for a digit or a letter of the area table.
constexpr std::uint8_t UpperCased(std::uint8_t c) {
    return (c >= 'a' && c <= 0x7F) ? static_cast<std::uint8_t>(c - 32) : c;
}

Scratch ScratchOf(DriverWorkspace& workspace) { return Scratch(workspace.gasScratch); }

// Copies the host's GAS into the scratch upper-cased and filled up with zero
// bytes; returns the number of characters copied (SCAN_LIMIT at most).
std::size_t CopyUpperCased(const char* gas, Scratch scratch) {
    std::ranges::fill(scratch, std::uint8_t{0});
    std::size_t length = 0;
    while (length < SCAN_LIMIT && gas[length] != '\0') {
        scratch[length] = UpperCased(static_cast<std::uint8_t>(gas[length]));
        ++length;
    }
    return length;
}

// The copy in the scratch, up to its first zero byte.
std::span<const std::uint8_t> CopyOf(DriverWorkspace& workspace) {
    const Scratch scratch = ScratchOf(workspace);
    const auto end = std::ranges::find(scratch, std::uint8_t{0});
    return std::span<const std::uint8_t>(scratch.begin(), end);
}

// Decimal value of a run of digits that the caller has checked.
std::uint16_t DecimalValue(std::span<const std::uint8_t> digits) {
    std::uint16_t value = 0;
    for (const std::uint8_t digit : digits) {
        value = static_cast<std::uint16_t>(value * 10 + (digit - '0'));
    }
    return value;
}

bool Matches(std::span<const std::uint8_t> text, std::span<const char> word) {
    return std::ranges::equal(text, word, [](std::uint8_t t, char w) {
        return t == static_cast<std::uint8_t>(w);
    });
}

// The first area table entry whose letters are characters 3 and 4 of the copy.
const AreaEntry* FindArea(std::span<const std::uint8_t> text) {
    if (text.size() < ELEMENT_POSITION) return nullptr;
    const auto letters = text.subspan(MNEMONIC_POSITION, 2);
    for (const AreaEntry& entry : kAreaTable) {
        if (Matches(letters, entry.mnemonic)) return &entry;
    }
    return nullptr;
}

constexpr bool IsIm(const AreaEntry& entry) { return entry.mnemonic == std::array<char, 2>{'I', 'M'}; }

// The rules shared by both models, with that model's tables.
bool CheckArea(const QelRequest* request, const ModelRules& rules) {
    GateDefinition* gate = ParametersOf<GateDefinition>(request);
    DriverWorkspace* workspace = WorkspaceOf(request);
    if (gate == nullptr || workspace == nullptr) return false;
    const std::span<const std::uint8_t> text = CopyOf(*workspace);

    // Every character after the mnemonic is an element digit; at most four.
    const auto digits = text.size() > ELEMENT_POSITION ? text.subspan(ELEMENT_POSITION)
                                                       : std::span<const std::uint8_t>{};
    if (!std::ranges::all_of(digits, IsDigit)) return false;
    if (digits.size() > MAX_ELEMENT_DIGITS) return false;

    // The written number, none meaning 0, is stored as it is for now.
    const std::uint16_t written = DecimalValue(digits);
    gate->element = written;

    const AreaEntry* area = FindArea(text);
    if (area != nullptr) gate->areaCode = area->code;
    if (area != nullptr && IsIm(*area) && !rules.hasIm) return false;
    if (area == nullptr) return false;

    const AreaRule& rule = rules.areas[area->code];
    if (rule.numbering == Numbering::DECIMAL) return rule.Contains(written);

    // Byte-and-bit numbering: the last character must be a bit digit.
    const bool bitDigit = IsBitDigit(text.back());
    if (IsIm(*area) && bitDigit && rules.imRule.Contains(written)) {
        gate->element = static_cast<std::uint32_t>(IM_ELEMENT_OFFSET + LinearBitIndex(written));
        return true;
    }
    if (bitDigit && rule.Contains(written)) {
        gate->element = LinearBitIndex(written);
        return true;
    }
    return false;
}

// The data type a single gate of this area must have.
bool DataTypeFits(std::uint32_t areaCode, std::int32_t dataType) {
    if (areaCode >= kSingleGateDataType.size()) return false;
    const std::int32_t required = kSingleGateDataType[areaCode];
    return required != NO_SINGLE_GATE && static_cast<std::uint16_t>(dataType) == required;
}

// Sets the outputs that every check sets first.
void ResetOutputs(GateDefinition& gate) {
    gate.fixedOut1 = FIXED_OUT_1;
    gate.fixedOut2 = FIXED_OUT_2;
    gate.station = 0;
    gate.areaCode = 0;
}

}  // namespace

bool CheckAreaFa2(const QelRequest* request) { return CheckArea(request, kFa2Rules); }

bool CheckAreaFa3(const QelRequest* request) { return CheckArea(request, kFa3Rules); }

Result CheckGate(const QelRequest* request, CheckMode mode) {
    GateDefinition* gate = ParametersOf<GateDefinition>(request);
    if (gate == nullptr) return RESULT_REFUSED;
    ResetOutputs(*gate);  // element keeps the host's value until parsed
    DriverWorkspace* workspace = WorkspaceOf(request);
    if (workspace == nullptr || gate->gas == nullptr) return RESULT_REFUSED;

    const std::size_t length = CopyUpperCased(gate->gas, ScratchOf(*workspace));
    if (length > MAX_GAS_LENGTH) return RESULT_REFUSED;
    const std::span<const std::uint8_t> text = CopyOf(*workspace);

    const auto stationDigits = text.first(std::min(text.size(), STATION_DIGITS));
    if (stationDigits.size() < STATION_DIGITS || !std::ranges::all_of(stationDigits, IsDigit)) {
        return RESULT_REFUSED;
    }
    const std::uint32_t station = DecimalValue(stationDigits);
    gate->station = station;
    if (station >= STATION_COUNT) return RESULT_REFUSED;

    if (StationKindOf(*workspace, station) == StationKind::FA2) {
        if (!CheckAreaFa2(request)) return RESULT_REFUSED;
    } else if (Matches(text.subspan(STATION_DIGITS), kForceKeyword)) {
        // The station's force gate: a bit gate, never part of a block.
        if (gate->dataType != DATA_TYPE_BIT || mode == CheckMode::BLOCK_GATE) return RESULT_REFUSED;
        gate->areaCode = AREA_FORCE;
        return RESULT_DONE;
    } else if (!CheckAreaFa3(request)) {
        return RESULT_REFUSED;
    }

    if (mode == CheckMode::BLOCK_GATE) return RESULT_DONE;
    return DataTypeFits(gate->areaCode, gate->dataType) ? RESULT_DONE : RESULT_REFUSED;
}

std::int32_t CheckSingleGate(const QelRequest* request) {
    return CheckGate(request, CheckMode::SINGLE_GATE);
}

std::int32_t CheckBlockGate(const QelRequest* request) {
    GateDefinition* gate = ParametersOf<GateDefinition>(request);
    if (gate == nullptr) return RESULT_REFUSED;
    ResetOutputs(*gate);
    if (CheckGate(request, CheckMode::BLOCK_GATE) != RESULT_DONE) return RESULT_REFUSED;

    // CheckGate accepted, so the workspace is there and the station is valid.
    const StationKind kind = StationKindOf(*WorkspaceOf(request), gate->station);
    // A block has at least one element: a count of 0 or below would leave the
    // reads and writes of the gate no value to transfer.
    const std::int32_t count = gate->count;
    if (count < 1 || count > MAX_BLOCK_COUNT) return RESULT_REFUSED;

    if (kind == StationKind::FA2) {
        if (IsBitArea(gate->areaCode)) return count == BITS_PER_BYTE ? RESULT_DONE : RESULT_REFUSED;
        return gate->areaCode == AREA_DR ? RESULT_DONE : RESULT_REFUSED;
    }
    if (kind == StationKind::FA3) {
        if (IsBitArea(gate->areaCode)) return count % BITS_PER_BYTE == 0 ? RESULT_DONE : RESULT_REFUSED;
        return RESULT_DONE;
    }
    return RESULT_DONE;
}

}  // namespace qel
