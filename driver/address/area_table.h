// The memory areas a gate address can name and the element numbers each
// controller model serves in them.
//
// A gate address string (GAS) is three station digits, a two-letter area
// mnemonic and up to four element digits (001DR0399, 012IO157), or three
// station digits and the keyword FORCE (005FORCE). The tables below are the
// whole of the area and range rules; gate_check.cpp only walks them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "vuzorur.h"

namespace qel {

// IM elements 640 to 1317 of an FA3 station are stored above this offset, so
// that they never collide with the IR numbering of the same area code.
constexpr std::uint16_t IM_ELEMENT_OFFSET = 3000;

// Number of area codes that have a mnemonic (TM .. WO); FORCE has none.
constexpr std::size_t AREA_RULE_COUNT = 9;

// One mnemonic of the area table. IR and IM share code 6.
struct AreaEntry {
    std::array<char, 2> mnemonic;
    std::uint8_t code;
};

// Searched in this order; the first entry whose letters match wins.
inline constexpr std::array<AreaEntry, 10> kAreaTable = {{
    {{'T', 'M'}, AREA_TM},
    {{'C', 'T'}, AREA_CT},
    {{'D', 'R'}, AREA_DR},
    {{'C', 'P'}, AREA_CP},
    {{'T', 'P'}, AREA_TP},
    {{'I', 'O'}, AREA_IO},
    {{'I', 'R'}, AREA_IR},
    {{'I', 'M'}, AREA_IR},
    {{'S', 'R'}, AREA_SR},
    {{'W', 'O'}, AREA_WO},
}};

// The bit areas: one value per bit, read and written bit by bit.
constexpr bool IsBitArea(std::uint32_t code) {
    return code == AREA_IO || code == AREA_IR || code == AREA_SR;
}

// The keyword that follows the station digits of a station's force gate.
inline constexpr std::array<char, 5> kForceKeyword = {'F', 'O', 'R', 'C', 'E'};

// Byte-and-bit numbering: the written number 0399 is byte 39, bit 9 would be
// out of a byte, so only bit digits 0 to 7 exist. The stored element is the
// linear bit index byte * 8 + bit.
constexpr std::uint16_t LinearBitIndex(std::uint16_t written) {
    return static_cast<std::uint16_t>((written / 10) * 8 + written % 10);
}

// How the written element number of an area is read.
enum class Numbering : std::uint8_t {
    DECIMAL,       // stored as written
    BYTE_AND_BIT,  // last digit is a bit 0..7; stored as LinearBitIndex
};

// An inclusive range of written element numbers.
struct ElementRange {
    std::uint16_t first;
    std::uint16_t last;

    constexpr bool Contains(std::uint16_t written) const {
        return written >= first && written <= last;
    }
};

constexpr std::size_t MAX_AREA_RANGES = 4;

// The written numbers one model serves in one area.
struct AreaRule {
    Numbering numbering;
    std::uint8_t rangeCount;
    std::array<ElementRange, MAX_AREA_RANGES> ranges;

    constexpr std::span<const ElementRange> Ranges() const {
        return std::span<const ElementRange>(ranges).first(rangeCount);
    }
    constexpr bool Contains(std::uint16_t written) const {
        for (const ElementRange& range : Ranges()) {
            if (range.Contains(written)) return true;
        }
        return false;
    }
};

constexpr AreaRule Rule(Numbering numbering, std::initializer_list<ElementRange> ranges) {
    AreaRule rule{numbering, 0, {}};
    for (const ElementRange& range : ranges) rule.ranges[rule.rangeCount++] = range;
    return rule;
}

// The range rules of one controller model, indexed by area code.
struct ModelRules {
    std::array<AreaRule, AREA_RULE_COUNT> areas;
    // Whether the IM mnemonic exists on this model at all.
    bool hasIm;
    // IM numbers in this rule are stored at IM_ELEMENT_OFFSET + LinearBitIndex;
    // any other IM number is judged by the IR rule of the model.
    AreaRule imRule;
};

// Stations whose model text is exactly "FA2".
inline constexpr ModelRules kFa2Rules = {
    .areas = {{
        /* TM */ Rule(Numbering::DECIMAL, {{0, 79}}),
        /* CT */ Rule(Numbering::DECIMAL, {{0, 46}}),
        /* DR */ Rule(Numbering::DECIMAL, {{0, 399}}),
        /* CP */ Rule(Numbering::DECIMAL, {{0, 46}}),
        /* TP */ Rule(Numbering::DECIMAL, {{0, 79}}),
        /* IO */ Rule(Numbering::BYTE_AND_BIT, {{0, 157}, {200, 357}}),
        /* IR */ Rule(Numbering::BYTE_AND_BIT, {{400, 697}, {2200, 2357}, {2400, 2697}}),
        /* SR */ Rule(Numbering::DECIMAL, {{0, 127}}),
        /* WO */ Rule(Numbering::DECIMAL, {{0, 399}}),
    }},
    .hasIm = false,
    .imRule = Rule(Numbering::BYTE_AND_BIT, {}),
};

// Every other station ("FA3", or any other model text).
inline constexpr ModelRules kFa3Rules = {
    .areas = {{
        /* TM */ Rule(Numbering::DECIMAL, {{0, 255}}),
        /* CT */ Rule(Numbering::DECIMAL, {{0, 46}, {48, 102}}),
        /* DR */ Rule(Numbering::DECIMAL, {{0, 999}}),
        /* CP */ Rule(Numbering::DECIMAL, {{0, 46}, {48, 102}}),
        /* TP */ Rule(Numbering::DECIMAL, {{0, 255}}),
        /* IO */ Rule(Numbering::BYTE_AND_BIT, {{0, 157}, {200, 357}, {2000, 2157}, {2200, 2357}}),
        /* IR */ Rule(Numbering::BYTE_AND_BIT, {{400, 697}, {2400, 2697}}),
        /* SR */ Rule(Numbering::DECIMAL, {{0, 223}}),
        /* WO */ Rule(Numbering::DECIMAL, {{0, 399}}),
    }},
    .hasIm = true,
    .imRule = Rule(Numbering::BYTE_AND_BIT, {{640, 1317}}),
};

// The data type QEL_CHECK_GATE requires of a single gate, by area code (the
// low 16 bits of the host's dataType are compared). A WO gate is served only
// as a block gate.
constexpr std::int32_t NO_SINGLE_GATE = -1;
inline constexpr std::array<std::int32_t, AREA_RULE_COUNT> kSingleGateDataType = {
    /* TM */ DATA_TYPE_WORD,
    /* CT */ DATA_TYPE_WORD,
    /* DR */ DATA_TYPE_WORD,
    /* CP */ DATA_TYPE_WORD,
    /* TP */ DATA_TYPE_WORD,
    /* IO */ DATA_TYPE_BIT,
    /* IR */ DATA_TYPE_BIT,
    /* SR */ DATA_TYPE_BIT,
    /* WO */ NO_SINGLE_GATE,
};

// A byte-and-bit range must start at bit 0 of a byte and end at bit 7 of a
// byte, so that the stored linear bit indices it yields have no gaps.
constexpr bool WholeBytes(const AreaRule& rule) {
    if (rule.numbering != Numbering::BYTE_AND_BIT) return true;
    for (const ElementRange& range : rule.Ranges()) {
        if (range.first % 10 != 0 || range.last % 10 != 7) return false;
    }
    return true;
}

constexpr bool WholeBytes(const ModelRules& rules) {
    for (const AreaRule& rule : rules.areas) {
        if (!WholeBytes(rule)) return false;
    }
    return WholeBytes(rules.imRule);
}

static_assert(WholeBytes(kFa2Rules) && WholeBytes(kFa3Rules));
static_assert(LinearBitIndex(157) == 127 && LinearBitIndex(2400) == 1920);
static_assert(IM_ELEMENT_OFFSET + LinearBitIndex(640) == 3512);
static_assert(IM_ELEMENT_OFFSET + LinearBitIndex(1317) == 4055);

}  // namespace qel
