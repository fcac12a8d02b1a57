#include "modbus/request_planner.h"

#include <modbus/modbus.h>

#include "session/stations/station_kind.h"
#include "session/gates/write_value.h"

namespace qel::modbus {


RequestPlanner::RequestPlanner(plan::Driver driver, GateCheck check, plan::PlanOptions plan,
                               WritePolicy policy)
    : driver_(std::move(driver)), check_(std::move(check)), plan_(plan), policy_(policy) {}

int RequestPlanner::Plan(Job& job) const {
    const ModbusRequest& m = job.modbus;
    if (m.write && !policy_.allowWrites) {
        job.refusal = "the gateway is read-only (no --allow-writes)";
        return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
    }
    // The whole request lies in one area of the map.
    const auto target = Resolve(m.table, m.address);
    const auto last = Resolve(m.table, m.address + m.count - 1);
    if (!target || !last || last->row != target->row) return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
    const bool fa3 = session::StationKindOf(driver_.model(m.unit)) != session::StationKind::FA2;
    const session::GateAddress first{m.unit, target->Mnemonic(fa3), target->number};
    const bool bits = target->row->bits;

    if (!m.write) {
        auto reads = SplitRead(driver_, plan_, first, m.count, bits);
        if (!reads) return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
        job.reads = std::move(*reads);
        job.values.assign(m.count, 0);
        return 0;
    }
    // The whole write is checked, every value's gate, its value and the
    // allow-list, before the first value is written: a write that is refused
    // writes nothing.
    session::GateAddress at = first;
    for (unsigned i = 0; i < m.count; ++i, ++at.element) {
        DriverWrite write;
        write.gate.gas = at.Format();
        write.gate.dataType = bits ? DATA_TYPE_BIT : DATA_TYPE_WORD;
        write.value = m.values[i];
        if (!check_(write.gate)) {
            // Said as qelhost says it, with where the station's model came from.
            job.refusal = check_.Refusal(write.gate);
            job.writes.clear();
            return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
        }
        if (policy_.allow != nullptr && !policy_.allow->Allows(write.gate.definition)) {
            job.refusal = write.gate.gas + " is not in --write-allow";
            job.writes.clear();
            return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
        }
        if (const std::string why = session::RefuseValue(write.gate.definition, write.gate.dataType, write.value);
            !why.empty()) {
            job.refusal = write.gate.gas + " cannot take " + std::to_string(write.value) + " (" + why + ")";
            job.writes.clear();
            return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        }
        job.writes.push_back(std::move(write));
    }
    return 0;
}

}  // namespace qel::modbus
