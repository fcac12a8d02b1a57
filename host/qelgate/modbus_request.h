// The fields of a Modbus request that libmodbus received and framed: the
// unit, the function, the address, the count and the values of a write.
#pragma once

#include <cstdint>
#include <vector>

#include "address_map.h"

namespace qelgate {

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
    BadValue,     // a count, byte count or coil value libmodbus calls illegal: exception 3
};

// request and length as modbus_receive gave them; headerLength from
// modbus_get_header_length.
Decoded DecodeRequest(const std::uint8_t* request, int length, int headerLength, ModbusRequest& out);

}  // namespace qelgate
