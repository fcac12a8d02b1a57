#include "session/line/line_request.h"

#include <algorithm>

#include "plan/scan_plan.h"

namespace qel::session {

LineExchange LineExchange::Read(const Gate& gate) {
    LineExchange exchange;
    exchange.gas = gate.gas;
    exchange.slots.assign(static_cast<std::size_t>(std::max(gate.count, 2)), 0);
    // gas and values point into the exchange itself: Aim sets them.
    exchange.transfer = TransferOf(gate, gate.count, nullptr);
    exchange.transfer.gas = nullptr;
    return exchange;
}

LineExchange LineExchange::Write(const Gate& gate, std::uint16_t value) {
    LineExchange exchange = Read(gate);
    exchange.write = true;
    exchange.transfer.count = 1;
    exchange.slots[1] = value;
    return exchange;
}

LineExchange LineExchange::Read(const plan::Transfer& planned) {
    LineExchange exchange;
    exchange.transfer = plan::ToGateTransfer(planned, nullptr);
    exchange.gas = exchange.transfer.gas == nullptr ? "" : exchange.transfer.gas;
    exchange.transfer.gas = nullptr;  // Aim points it at `gas`, and values at `slots`
    exchange.slots.assign(plan::SlotCount(planned), 0);
    exchange.cost = planned.selectMs + planned.exchangeMs;
    return exchange;
}

void LineExchange::Aim() {
    transfer.gas = gas.c_str();
    transfer.values = slots.data();
}

std::vector<std::uint16_t> LineExchange::Values() const {
    if (transfer.count <= 1) return {slots.size() > 1 ? slots[1] : std::uint16_t{0}};
    return {slots.begin(), slots.begin() + std::min<std::size_t>(slots.size(), static_cast<std::size_t>(transfer.count))};
}

}  // namespace qel::session
