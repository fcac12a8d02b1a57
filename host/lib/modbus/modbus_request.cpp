#include "modbus/modbus_request.h"

#include <modbus/modbus.h>

namespace qel::modbus {

namespace {

unsigned Word(const std::uint8_t* p) { return static_cast<unsigned>(p[0]) << 8 | p[1]; }

struct FunctionRow {
    unsigned function;
    Table table;
    bool write;
    unsigned maxCount;  // libmodbus's limit; 1 for the single writes
};

constexpr FunctionRow kFunctions[] = {
    {MODBUS_FC_READ_COILS, Table::Coils, false, MODBUS_MAX_READ_BITS},
    {MODBUS_FC_READ_DISCRETE_INPUTS, Table::DiscreteInputs, false, MODBUS_MAX_READ_BITS},
    {MODBUS_FC_READ_HOLDING_REGISTERS, Table::HoldingRegisters, false, MODBUS_MAX_READ_REGISTERS},
    {MODBUS_FC_READ_INPUT_REGISTERS, Table::InputRegisters, false, MODBUS_MAX_READ_REGISTERS},
    {MODBUS_FC_WRITE_SINGLE_COIL, Table::Coils, true, 1},
    {MODBUS_FC_WRITE_SINGLE_REGISTER, Table::HoldingRegisters, true, 1},
    {MODBUS_FC_WRITE_MULTIPLE_COILS, Table::Coils, true, MODBUS_MAX_WRITE_BITS},
    {MODBUS_FC_WRITE_MULTIPLE_REGISTERS, Table::HoldingRegisters, true, MODBUS_MAX_WRITE_REGISTERS},
};

}  // namespace

Decoded DecodeRequest(const std::uint8_t* request, int length, int headerLength, ModbusRequest& out) {
    out = ModbusRequest{};
    if (headerLength < 1 || length <= headerLength) return Decoded::Unsupported;
    const std::uint8_t* pdu = request + headerLength;
    const auto end = static_cast<std::size_t>(length - headerLength);
    out.unit = request[headerLength - 1];
    out.function = pdu[0];
    const FunctionRow* row = nullptr;
    for (const FunctionRow& candidate : kFunctions)
        if (candidate.function == out.function) row = &candidate;
    if (row == nullptr) return Decoded::Unsupported;
    // Every function served has an address and a count (or value) after it.
    if (end < 5) return Decoded::BadValue;
    out.table = row->table;
    out.write = row->write;
    out.address = Word(pdu + 1);

    switch (out.function) {
        case MODBUS_FC_WRITE_SINGLE_COIL: {
            const unsigned value = Word(pdu + 3);
            if (end != 5 || (value != 0xFF00 && value != 0)) return Decoded::BadValue;
            out.count = 1;
            out.values = {static_cast<std::uint16_t>(value != 0)};
            return Decoded::Ok;
        }
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
            if (end != 5) return Decoded::BadValue;
            out.count = 1;
            out.values = {static_cast<std::uint16_t>(Word(pdu + 3))};
            return Decoded::Ok;
        default:
            break;
    }
    out.count = Word(pdu + 3);
    if (out.count < 1 || out.count > row->maxCount) return Decoded::BadValue;
    if (!out.write) return end == 5 ? Decoded::Ok : Decoded::BadValue;

    const bool bits = out.function == MODBUS_FC_WRITE_MULTIPLE_COILS;
    const std::size_t bytes = bits ? (out.count + 7) / 8 : out.count * 2;
    // The byte count and the request's length agree exactly.
    if (end < 6 || pdu[5] != bytes || end != 6 + bytes) return Decoded::BadValue;
    for (unsigned i = 0; i < out.count; ++i) {
        out.values.push_back(bits ? static_cast<std::uint16_t>((pdu[6 + i / 8] >> (i % 8)) & 1)
                                  : static_cast<std::uint16_t>(Word(pdu + 6 + 2 * i)));
    }
    return Decoded::Ok;
}

}  // namespace qel::modbus
