// The planner's side of QelMain: the gate check and the station models
// asked of a workspace, and transfers turned into the driver's records.
#include <algorithm>
#include <cstring>

#include "plan/scan_plan.h"

namespace qel::plan {

Driver DriverThrough(QelMainFunction qelMain, DriverWorkspace* workspace, std::int32_t qelNumber) {
    Driver driver;
    driver.check = [=](std::int32_t operation, GateDefinition& definition) {
        QelRequest request{};
        request.workspace = workspace;
        request.operation = operation;
        request.qelNumber = qelNumber;
        request.parameters = &definition;
        return qelMain(&request);
    };
    driver.model = [=](std::uint32_t station) {
        if (station >= STATION_COUNT) return std::string();
        const char* text = workspace->stationModel[station];
        return std::string(text, strnlen(text, STATION_MODEL_SIZE));
    };
    return driver;
}

std::int32_t ReadOperation(const Transfer& transfer) { return transfer.count == 1 ? QEL_READ : QEL_READ_BLOCK; }

std::size_t SlotCount(const Transfer& transfer) {
    // A single value travels in slot 1; an FA-2 bit block always fills 8 slots.
    return static_cast<std::size_t>(std::max(transfer.count, 8) + 1);
}

GateTransfer ToGateTransfer(const Transfer& transfer, std::uint16_t* slots) {
    GateTransfer record{};
    record.gas = transfer.gas.c_str();
    record.station = transfer.station;
    record.areaCode = transfer.areaCode;
    record.element = transfer.element;
    record.dataType = transfer.dataType;
    record.count = transfer.count;
    record.values = slots;
    return record;
}

std::vector<std::uint16_t> GateValues(const Transfer& transfer, const GateSlot& slot,
                                      std::span<const std::uint16_t> slots) {
    if (transfer.count == 1) return {slots[1]};
    const auto first = slots.begin() + slot.offset;
    return {first, first + slot.count};
}

}  // namespace qel::plan
