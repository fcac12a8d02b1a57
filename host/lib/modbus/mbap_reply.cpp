#include "modbus/mbap_reply.h"

#include <modbus/modbus.h>

#include "modbus/mbap_framer.h"

namespace qel::modbus {

namespace {

// The header and function of the request, with the length that the PDU
// after them (pduLength bytes, the function included) gives.
std::vector<std::uint8_t> Head(std::span<const std::uint8_t> request, std::size_t pduLength) {
    std::vector<std::uint8_t> reply(request.begin(), request.begin() + kMbapHeaderLength + 1);
    const std::size_t length = 1 + pduLength;  // the unit, then the PDU
    reply[2] = 0;
    reply[3] = 0;
    reply[4] = static_cast<std::uint8_t>(length >> 8);
    reply[5] = static_cast<std::uint8_t>(length & 0xFF);
    return reply;
}

}  // namespace

std::vector<std::uint8_t> NormalReply(std::span<const std::uint8_t> request, const ModbusRequest& decoded,
                                      std::span<const std::uint16_t> values) {
    if (request.size() <= kMbapHeaderLength) return ExceptionReply(request.data(), request.size(),
                                                                   MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
    switch (decoded.function) {
        case MODBUS_FC_WRITE_SINGLE_COIL:
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
            return {request.begin(), request.end()};
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
            std::vector<std::uint8_t> reply = Head(request, 5);
            reply.insert(reply.end(), request.begin() + kMbapHeaderLength + 1, request.begin() + kMbapHeaderLength + 5);
            return reply;
        }
        default:
            break;
    }
    if (values.size() < decoded.count) {
        return ExceptionReply(request.data(), request.size(), MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
    }
    const bool bits = decoded.table == Table::Coils || decoded.table == Table::DiscreteInputs;
    const std::size_t bytes = bits ? (decoded.count + 7) / 8 : 2 * decoded.count;
    std::vector<std::uint8_t> reply = Head(request, 2 + bytes);
    reply.push_back(static_cast<std::uint8_t>(bytes));
    if (bits) {
        reply.resize(reply.size() + bytes, 0);
        std::uint8_t* data = reply.data() + reply.size() - bytes;
        for (unsigned i = 0; i < decoded.count; ++i) {
            if (values[i] != 0) data[i / 8] = static_cast<std::uint8_t>(data[i / 8] | 1u << (i % 8));
        }
    } else {
        for (unsigned i = 0; i < decoded.count; ++i) {
            reply.push_back(static_cast<std::uint8_t>(values[i] >> 8));
            reply.push_back(static_cast<std::uint8_t>(values[i] & 0xFF));
        }
    }
    return reply;
}

std::vector<std::uint8_t> ExceptionReply(const std::uint8_t* request, std::size_t length, int code) {
    // The header as asked, the length 3 (unit, function, code); the function
    // with its top bit set, so that a function 0x80 or above stays an
    // exception and does not wrap into a normal response.
    std::vector<std::uint8_t> reply(request, request + (length < 8 ? length : 8));
    reply.resize(9, 0);
    reply[4] = 0;
    reply[5] = 3;
    reply[7] = static_cast<std::uint8_t>(reply[7] | 0x80);
    reply[8] = static_cast<std::uint8_t>(code);
    return reply;
}

}  // namespace qel::modbus
