#include "session/line/exchange_cover.h"

#include <algorithm>

namespace qel::session {

std::uint32_t ElementCount(const GateTransfer& transfer) {
    return transfer.count > 1 ? static_cast<std::uint32_t>(transfer.count) : 1u;
}

bool Covers(const GateTransfer& outer, const GateTransfer& inner) {
    if (outer.count < 1 || inner.count < 1) return false;  // no checked transfer
    if (outer.station != inner.station || outer.areaCode != inner.areaCode || outer.dataType != inner.dataType)
        return false;
    const std::uint64_t outerEnd = std::uint64_t{outer.element} + ElementCount(outer);
    const std::uint64_t innerEnd = std::uint64_t{inner.element} + ElementCount(inner);
    return inner.element >= outer.element && innerEnd <= outerEnd;
}

bool Touches(const GateTransfer& write, const GateTransfer& read) {
    if (write.station != read.station || write.areaCode != read.areaCode) return false;
    if (write.dataType != read.dataType) return true;
    const std::uint64_t writeEnd = std::uint64_t{write.element} + ElementCount(write);
    const std::uint64_t readEnd = std::uint64_t{read.element} + ElementCount(read);
    return write.element < readEnd && read.element < writeEnd;
}

std::uint16_t ValueAt(const LineExchange& exchange, std::uint32_t index) {
    const std::size_t slot = exchange.transfer.count > 1 ? index : 1;
    return slot < exchange.slots.size() ? exchange.slots[slot] : std::uint16_t{0};
}

void SetValueAt(LineExchange& exchange, std::uint32_t index, std::uint16_t value) {
    const std::size_t slot = exchange.transfer.count > 1 ? index : 1;
    if (exchange.slots.size() <= slot) exchange.slots.resize(std::max<std::size_t>(slot + 1, 2), 0);
    exchange.slots[slot] = value;
}

void CopyCovered(const LineExchange& outer, LineExchange& inner) {
    const std::uint32_t offset = inner.transfer.element - outer.transfer.element;
    for (std::uint32_t i = 0; i < ElementCount(inner.transfer); ++i) SetValueAt(inner, i, ValueAt(outer, offset + i));
}

}  // namespace qel::session
