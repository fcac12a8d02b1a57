// The fields of a whole Modbus TCP request (framed by its MBAP header): the
// unit, the function, the address, the count and the values of a write.
#pragma once

#include <cstdint>
#include <vector>

#include "modbus/address_map.h"

namespace qel::modbus {

struct ModbusRequest {
    unsigned unit = 0;
    unsigned function = 0;
    unsigned address = 0;
    unsigned count = 0;
    Table table = Table::HoldingRegisters;
    bool write = false;
    std::vector<std::uint16_t> values;  // a write's values; bits as 0 or 1
};

enum class Decoded {
    Ok,
    Unsupported,  // a function the gateway does not serve: exception 1
    BadValue,     // a count, byte count, coil value or PDU length that is illegal: exception 3
};

// request and length: one whole request, its header headerLength bytes (7
// for Modbus TCP). A served function's PDU must be exactly as long as its
// count says.
Decoded DecodeRequest(const std::uint8_t* request, int length, int headerLength, ModbusRequest& out);

}  // namespace qel::modbus
