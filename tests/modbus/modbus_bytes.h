// Modbus TCP requests as a client sends them, for the suite's tables.
#pragma once

#include <cstdint>
#include <vector>

namespace modbustest {

using Bytes = std::vector<std::uint8_t>;

// The MBAP header (transaction id, protocol 0, the length of what follows,
// the unit) before a PDU.
inline Bytes Adu(std::uint16_t transaction, std::uint8_t unit, const Bytes& pdu) {
    const std::size_t length = pdu.size() + 1;
    Bytes adu = {static_cast<std::uint8_t>(transaction >> 8), static_cast<std::uint8_t>(transaction & 0xFF), 0, 0,
                 static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF), unit};
    adu.insert(adu.end(), pdu.begin(), pdu.end());
    return adu;
}

inline void Word(Bytes& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// A read (functions 1-4): the address and the count.
inline Bytes Read(std::uint8_t function, std::uint8_t unit, unsigned address, unsigned count) {
    Bytes pdu = {function};
    Word(pdu, address);
    Word(pdu, count);
    return Adu(1, unit, pdu);
}

// A write of registers (function 16) or coils (function 15, values 0 or 1).
inline Bytes WriteMany(std::uint8_t function, std::uint8_t unit, unsigned address,
                       const std::vector<unsigned>& values) {
    Bytes pdu = {function};
    Word(pdu, address);
    Word(pdu, static_cast<unsigned>(values.size()));
    if (function == 15) {
        Bytes bits((values.size() + 7) / 8, 0);
        for (std::size_t i = 0; i < values.size(); ++i)
            if (values[i] != 0) bits[i / 8] = static_cast<std::uint8_t>(bits[i / 8] | 1u << (i % 8));
        pdu.push_back(static_cast<std::uint8_t>(bits.size()));
        pdu.insert(pdu.end(), bits.begin(), bits.end());
    } else {
        pdu.push_back(static_cast<std::uint8_t>(2 * values.size()));
        for (const unsigned v : values) Word(pdu, v);
    }
    return Adu(1, unit, pdu);
}

// A single write (function 5 or 6): the address and the value as sent.
inline Bytes WriteOne(std::uint8_t function, std::uint8_t unit, unsigned address, unsigned value) {
    Bytes pdu = {function};
    Word(pdu, address);
    Word(pdu, value);
    return Adu(1, unit, pdu);
}

}  // namespace modbustest
