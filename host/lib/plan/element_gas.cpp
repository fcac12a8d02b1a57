// Gate addresses of elements in stored numbering, for the blocks the
// planner makes and for ranges a host asks for.
#include <cstdio>

#include "plan/scan_plan.h"

namespace qel::plan {

namespace {
constexpr std::uint32_t IM_ELEMENT_OFFSET = 3000;  // FA-3 IM elements are stored from 3000 on

// The written number of a linear bit index: byte number, then the bit digit.
std::uint32_t ByteAndBit(std::uint32_t linear) { return linear / 8 * 10 + linear % 8; }
}  // namespace

std::string ElementGas(std::uint32_t station, std::uint32_t areaCode, std::uint32_t element) {
    static const char* const wordAreas[] = {"TM", "CT", "DR", "CP", "TP"};
    const char* mnemonic = nullptr;
    std::uint32_t written = element;
    if (areaCode <= AREA_TP) {
        mnemonic = wordAreas[areaCode];
    } else if (areaCode == AREA_SR) {
        mnemonic = "SR";
    } else if (areaCode == AREA_IO) {
        mnemonic = "IO";
        written = ByteAndBit(element);
    } else if (areaCode == AREA_IR) {
        const bool im = element >= IM_ELEMENT_OFFSET;
        mnemonic = im ? "IM" : "IR";
        written = ByteAndBit(im ? element - IM_ELEMENT_OFFSET : element);
    }
    if (mnemonic == nullptr || station > 999 || written > 9999) return "";
    char gas[16];
    std::snprintf(gas, sizeof gas, "%03u%s%04u", station, mnemonic, written);
    return gas;
}

std::vector<GateRequest> RangeGates(std::uint32_t station, std::uint32_t areaCode, std::uint32_t firstElement,
                                    std::uint32_t count) {
    std::vector<GateRequest> gates;
    const std::int32_t dataType = areaCode == AREA_IO || areaCode == AREA_IR || areaCode == AREA_SR
                                      ? DATA_TYPE_BIT
                                      : DATA_TYPE_WORD;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string gas = ElementGas(station, areaCode, firstElement + i);
        if (!gas.empty()) gates.push_back({std::move(gas), 1, dataType});
    }
    return gates;
}

}  // namespace qel::plan
