// The line time of read exchanges, from the line settings and the size of
// each frame of the protocol.
//
// One exchange costs its characters on the line (the request, whose echo
// comes back while it is sent, and the answer) times the character time,
// plus the purge of stale input before every frame sent: 20 ms after the
// last byte received. A block answer (Ack and data) is followed by a
// checksum and CR that the driver does not read; the purge before the next
// frame waits 20 ms after those trailing characters, so they are counted too.
#pragma once

#include <cstdint>

#include "plan/scan_plan.h"

namespace qel::plan {

constexpr double PURGE_MS = 20.0;

// The characters of one exchange.
struct ExchangeShape {
    int sent = 0;      // the request frame
    int received = 0;  // what the driver reads: the reply, or the Ack and the block data
    int trailing = 0;  // sent by the controller after the data, discarded by the next purge
};

// Milliseconds of one character: start, data, parity and stop bits over the baud rate.
double CharacterMs(const LineSettings& line);

// A station selection and its Ack.
ExchangeShape SelectShape();
// A read of `count` elements of an area: FA-2 frames when fa2 is true (the
// model text "FA2"), else the block read that serves every other station.
ExchangeShape ReadShape(bool fa2, std::uint32_t areaCode, std::int32_t count);

double ExchangeMs(const ExchangeShape& shape, const LineSettings& line);

bool IsBitArea(std::uint32_t areaCode);

}  // namespace qel::plan
