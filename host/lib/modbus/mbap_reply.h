// The Modbus TCP replies the gateway sends, byte for byte: the MBAP header
// with the request's transaction id and unit, then the reply PDU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "modbus/modbus_request.h"

namespace qel::modbus {

// The reply to a request that was served. request is the whole request as
// framed, decoded its fields. A read answers with its values (one per
// element: bits packed eight to a byte, the first element in the lowest bit;
// registers high byte first); a single write echoes the request; a multiple
// write answers with its address and count. A read whose values do not cover
// its count is answered with exception 4.
std::vector<std::uint8_t> NormalReply(std::span<const std::uint8_t> request, const ModbusRequest& decoded,
                                      std::span<const std::uint16_t> values);

// The exception reply to a request (its first 8 bytes are used: the header
// and the function): the function with its top bit set, then the code.
std::vector<std::uint8_t> ExceptionReply(const std::uint8_t* request, std::size_t length, int code);

}  // namespace qel::modbus
