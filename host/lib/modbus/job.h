// One Modbus request on its way through the gateway: the request as
// received (answered later, with its transaction id), its driver exchanges,
// and what they gave.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "modbus/modbus_request.h"
#include "modbus/read_split.h"

namespace qel::modbus {

struct DriverWrite {
    session::Gate gate;
    std::uint16_t value = 0;
};

struct Job {
    std::uint64_t client = 0;
    std::vector<std::uint8_t> request;
    ModbusRequest modbus;
    std::vector<DriverRead> reads;      // each answers some of the requested elements
    std::vector<DriverWrite> writes;
    std::vector<std::uint16_t> values;  // the reads' results, one per requested element
    int exception = 0;                  // 0: answer with the values (or the write's echo)
    std::size_t written = 0;            // values written before a write failed
    std::string refusal;                // why a write was refused before the line, for the log
};

}  // namespace qel::modbus
