#include "modbus/read_split.h"

#include <cstdio>

namespace qel::modbus {

std::string GateAddress(unsigned station, const char* mnemonic, unsigned number) {
    char text[16];
    std::snprintf(text, sizeof text, "%03u%.2s%04u", station % 1000, mnemonic, number % 10000);
    return text;
}

std::optional<std::vector<DriverRead>> SplitRead(const plan::Driver& driver, const plan::PlanOptions& options,
                                                 unsigned station, const char* mnemonic, unsigned first,
                                                 unsigned count, bool bits) {
    std::vector<plan::GateRequest> gates;
    gates.reserve(count);
    for (unsigned i = 0; i < count; ++i)
        gates.push_back({GateAddress(station, mnemonic, first + i), 1, bits ? DATA_TYPE_BIT : DATA_TYPE_WORD});
    plan::Plan plan = plan::MakePlan(gates, driver, options);
    if (!plan.rejected.empty()) return std::nullopt;
    return std::move(plan.transfers);
}

}  // namespace qel::modbus
