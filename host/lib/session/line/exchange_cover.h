// Whether one exchange's values answer another's, and the slice that does:
// the rules of shared exchanges and of the line image, on the transfers the
// driver's checks made (station, area, data type, stored element number).
#pragma once

#include <cstdint>

#include "session/line/line_request.h"
#include "vuzorur.h"

namespace qel::session {

// Elements of a transfer: its count, or 1 for a single gate.
std::uint32_t ElementCount(const GateTransfer& transfer);
// A read `outer` covers `inner`: the same station, area and data type, and
// inner's elements inside outer's (a block read admitted by the driver's
// block check reads every element between its ends). A transfer with a
// count below 1 is no checked gate: it covers nothing, nothing covers it.
bool Covers(const GateTransfer& outer, const GateTransfer& inner);
// A write may change what a read gives: the same station and area, and the
// elements overlap, or the data types differ (another numbering of the
// same area: taken as an overlap).
bool Touches(const GateTransfer& write, const GateTransfer& read);
// The value of element `index` of an exchange (0 .. ElementCount - 1): slot
// 1 for a single gate, else slot `index`.
std::uint16_t ValueAt(const LineExchange& exchange, std::uint32_t index);
void SetValueAt(LineExchange& exchange, std::uint32_t index, std::uint16_t value);
// Fills inner's values from outer's slots; outer covers inner.
void CopyCovered(const LineExchange& outer, LineExchange& inner);

}  // namespace qel::session
