// The gateway's replies byte for byte against libmodbus's own: each request
// is answered by libmodbus's modbus_reply (or modbus_reply_exception) over a
// socket pair, from a mapping that holds the same values, and the bytes it
// sends must be the bytes the gateway would send.
#include <gtest/gtest.h>
#include <modbus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "modbus/mbap_reply.h"
#include "modbus/modbus_request.h"
#include "modbus_bytes.h"
#include "support/case_name.h"

namespace {

using modbustest::Bytes;

// A TCP context whose socket is one end of a socket pair: what libmodbus
// sends is read back from the other end.
class LibmodbusPeer {
public:
    LibmodbusPeer() {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds_) != 0) return;
        ctx_ = modbus_new_tcp("127.0.0.1", 502);
        if (ctx_ == nullptr) return;
        modbus_set_socket(ctx_, fds_[0]);
        // libmodbus waits its response timeout before an illegal-function
        // reply, to flush the line: a millisecond keeps the suite fast.
        modbus_set_response_timeout(ctx_, 0, 1000);
    }
    ~LibmodbusPeer() {
        if (ctx_ != nullptr) modbus_free(ctx_);  // does not close the socket
        if (fds_[0] >= 0) close(fds_[0]);
        if (fds_[1] >= 0) close(fds_[1]);
    }
    LibmodbusPeer(const LibmodbusPeer&) = delete;
    LibmodbusPeer& operator=(const LibmodbusPeer&) = delete;

    bool Ready() const { return ctx_ != nullptr; }

    // libmodbus's reply to request from mapping; empty if it sent nothing.
    Bytes Reply(const Bytes& request, modbus_mapping_t* mapping) {
        const int sent = modbus_reply(ctx_, request.data(), static_cast<int>(request.size()), mapping);
        return Read(sent);
    }

    Bytes Exception(const Bytes& request, unsigned code) {
        return Read(modbus_reply_exception(ctx_, request.data(), code));
    }

private:
    Bytes Read(int sent) {
        if (sent <= 0) return {};
        Bytes out(static_cast<std::size_t>(sent));
        std::size_t got = 0;
        while (got < out.size()) {
            const ssize_t n = read(fds_[1], out.data() + got, out.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        out.resize(got);
        return out;
    }

    int fds_[2] = {-1, -1};
    modbus_t* ctx_ = nullptr;
};

struct MappingFree {
    void operator()(modbus_mapping_t* m) const { modbus_mapping_free(m); }
};
using Mapping = std::unique_ptr<modbus_mapping_t, MappingFree>;

// A mapping of every table from address to address + values.size(), each
// holding values (bits as 0 or 1).
Mapping MappingOf(unsigned address, const std::vector<std::uint16_t>& values) {
    const int start = static_cast<int>(address);
    const int n = static_cast<int>(values.size() == 0 ? 1 : values.size());
    Mapping m(modbus_mapping_new_start_address(start, n, start, n, start, n, start, n));
    if (!m) return m;
    for (std::size_t i = 0; i < values.size(); ++i) {
        m->tab_bits[i] = values[i] != 0 ? 1 : 0;
        m->tab_input_bits[i] = values[i] != 0 ? 1 : 0;
        m->tab_registers[i] = values[i];
        m->tab_input_registers[i] = values[i];
    }
    return m;
}

// Values that are not all alike, so a shifted or reversed reply is caught.
std::vector<std::uint16_t> Pattern(std::size_t count, bool bits) {
    std::vector<std::uint16_t> v(count);
    for (std::size_t i = 0; i < count; ++i)
        v[i] = bits ? static_cast<std::uint16_t>((i * 7 + i / 3) % 3 == 0)
                    : static_cast<std::uint16_t>(0x9E37u * (i + 1) ^ (i << 3));
    return v;
}

struct ReadCase {
    const char* name;
    std::uint8_t function;
    std::uint8_t unit;
    unsigned address;
    unsigned count;
};

// Reads of bits at the byte edges (1, 7, 8, 9, 16, 17, the most) and of
// registers (1, 2, the most), at low and high addresses and several units.
const ReadCase kReads[] = {
    {"OneCoil", 1, 1, 0, 1},
    {"SevenCoils", 1, 1, 150, 7},
    {"EightCoils", 1, 2, 10000, 8},
    {"NineCoils", 1, 3, 150, 9},
    {"SixteenCoils", 1, 1, 0, 16},
    {"SeventeenCoils", 1, 247, 65000, 17},
    {"TheMostCoils", 1, 1, 0, 2000},
    {"OneDiscreteInput", 2, 7, 0, 1},
    {"ElevenDiscreteInputs", 2, 7, 300, 11},
    {"TheMostDiscreteInputs", 2, 7, 1, 2000},
    {"OneHoldingRegister", 3, 1, 0, 1},
    {"TwoHoldingRegisters", 3, 1, 10, 2},
    {"TheMostHoldingRegisters", 3, 9, 65000, 125},
    {"OneInputRegister", 4, 2, 10000, 1},
    {"ThirteenInputRegisters", 4, 2, 0, 13},
    {"TheMostInputRegisters", 4, 2, 400, 125},
};

class LibmodbusReads : public ::testing::TestWithParam<ReadCase> {};

TEST_P(LibmodbusReads, AreAnsweredAsLibmodbusAnswers) {
    const ReadCase& c = GetParam();
    const bool bits = c.function <= 2;
    const std::vector<std::uint16_t> values = Pattern(c.count, bits);
    Bytes request = modbustest::Read(c.function, c.unit, c.address, c.count);
    request[0] = 0x5A;  // a transaction id of two different bytes
    request[1] = 0xC3;

    LibmodbusPeer peer;
    ASSERT_TRUE(peer.Ready());
    Mapping mapping = MappingOf(c.address, values);
    ASSERT_TRUE(mapping);
    const Bytes expected = peer.Reply(request, mapping.get());
    ASSERT_GT(expected.size(), 8u);
    ASSERT_EQ(expected[7], c.function) << "libmodbus refused the request";

    qel::modbus::ModbusRequest m;
    ASSERT_EQ(qel::modbus::DecodeRequest(request.data(), static_cast<int>(request.size()), 7, m),
              qel::modbus::Decoded::Ok);
    EXPECT_EQ(qel::modbus::NormalReply(request, m, values), expected);
}

INSTANTIATE_TEST_SUITE_P(Functions, LibmodbusReads, ::testing::ValuesIn(kReads), testsupport::CaseName<ReadCase>);

struct WriteCase {
    const char* name;
    Bytes request;
};

const WriteCase kWrites[] = {
    {"SingleCoilOn", modbustest::WriteOne(5, 1, 157, 0xFF00)},
    {"SingleCoilOff", modbustest::WriteOne(5, 4, 0, 0x0000)},
    {"SingleRegister", modbustest::WriteOne(6, 1, 20, 0x04D2)},
    {"SingleRegisterAllOnes", modbustest::WriteOne(6, 200, 65535, 0xFFFF)},
    {"ThreeCoils", modbustest::WriteMany(15, 1, 150, {1, 0, 1})},
    {"NineCoils", modbustest::WriteMany(15, 3, 1000, {1, 1, 0, 0, 1, 0, 1, 1, 1})},
    {"TheMostCoils", modbustest::WriteMany(15, 1, 0, std::vector<unsigned>(1968, 1))},
    {"OneRegister", modbustest::WriteMany(16, 1, 20, {0x1234})},
    {"TwoRegisters", modbustest::WriteMany(16, 5, 30000, {1, 2})},
    {"TheMostRegisters", modbustest::WriteMany(16, 1, 0, std::vector<unsigned>(123, 0xBEEF))},
};

class LibmodbusWrites : public ::testing::TestWithParam<WriteCase> {};

TEST_P(LibmodbusWrites, AreAnsweredAsLibmodbusAnswers) {
    const WriteCase& c = GetParam();
    Bytes request = c.request;
    request[0] = 0x01;
    request[1] = 0xFE;
    const unsigned address = static_cast<unsigned>(request[8] << 8 | request[9]);

    LibmodbusPeer peer;
    ASSERT_TRUE(peer.Ready());
    // Room for the longest write from its address on.
    Mapping mapping = MappingOf(address, std::vector<std::uint16_t>(address + 1968 > 65536 ? 65536 - address : 1968));
    ASSERT_TRUE(mapping);
    const Bytes expected = peer.Reply(request, mapping.get());
    ASSERT_GT(expected.size(), 8u);
    ASSERT_EQ(expected[7], request[7]) << "libmodbus refused the request";

    qel::modbus::ModbusRequest m;
    ASSERT_EQ(qel::modbus::DecodeRequest(request.data(), static_cast<int>(request.size()), 7, m),
              qel::modbus::Decoded::Ok);
    EXPECT_EQ(qel::modbus::NormalReply(request, m, {}), expected);
}

INSTANTIATE_TEST_SUITE_P(Functions, LibmodbusWrites, ::testing::ValuesIn(kWrites), testsupport::CaseName<WriteCase>);

// Every exception code the header names, after a read, a write and a
// function the gateway does not serve.
TEST(LibmodbusExceptions, AreAnsweredAsLibmodbusAnswers) {
    const Bytes requests[] = {
        modbustest::Read(3, 1, 10, 2),
        modbustest::WriteOne(6, 9, 20, 1234),
        modbustest::WriteMany(15, 250, 0, {1, 0}),
        modbustest::Adu(0x7F01, 5, {0x2B, 0x0E, 0x01, 0x00}),
    };
    for (const Bytes& request : requests) {
        for (unsigned code = MODBUS_EXCEPTION_ILLEGAL_FUNCTION; code < MODBUS_EXCEPTION_MAX; ++code) {
            LibmodbusPeer peer;
            ASSERT_TRUE(peer.Ready());
            const Bytes expected = peer.Exception(request, code);
            ASSERT_EQ(expected.size(), 9u) << "function " << int{request[7]} << " code " << code;
            EXPECT_EQ(qel::modbus::ExceptionReply(request.data(), request.size(), static_cast<int>(code)), expected)
                << "function " << int{request[7]} << " code " << code;
        }
    }
}

// The exceptions libmodbus chooses itself: a read beyond its mapping is an
// illegal address, a function it does not know an illegal function. The
// gateway's exception reply with the same code is the same bytes.
TEST(LibmodbusExceptions, OfLibmodbusOwnChoiceAreTheSameBytes) {
    struct Case {
        Bytes request;
        int code;
    };
    const Case cases[] = {
        {modbustest::Read(3, 1, 100, 2), MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS},
        {modbustest::Read(1, 2, 90, 20), MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS},
        {modbustest::Adu(0x0010, 5, {0x2B, 0x0E, 0x01, 0x00}), MODBUS_EXCEPTION_ILLEGAL_FUNCTION},
        {modbustest::Adu(0x0011, 5, {0x41}), MODBUS_EXCEPTION_ILLEGAL_FUNCTION},
    };
    for (const Case& c : cases) {
        LibmodbusPeer peer;
        ASSERT_TRUE(peer.Ready());
        Mapping mapping = MappingOf(0, std::vector<std::uint16_t>(100));
        ASSERT_TRUE(mapping);
        const Bytes expected = peer.Reply(c.request, mapping.get());
        ASSERT_EQ(expected.size(), 9u);
        ASSERT_EQ(expected[8], c.code);
        EXPECT_EQ(qel::modbus::ExceptionReply(c.request.data(), c.request.size(), c.code), expected);
    }
}

}  // namespace
