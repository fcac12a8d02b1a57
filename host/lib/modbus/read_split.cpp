#include "modbus/read_split.h"

namespace qel::modbus {

std::optional<std::vector<DriverRead>> SplitRead(const plan::Driver& driver, const plan::PlanOptions& options,
                                                 const session::GateAddress& first, unsigned count, bool bits) {
    plan::Run run;
    run.gas = [&first](std::uint32_t i) {
        session::GateAddress element = first;
        element.element += i;
        return element.Format();
    };
    run.count = count;
    run.dataType = bits ? DATA_TYPE_BIT : DATA_TYPE_WORD;
    auto plan = plan::PlanRun(run, driver, options);
    if (!plan) return std::nullopt;
    return std::move(plan->transfers);
}

}  // namespace qel::modbus
