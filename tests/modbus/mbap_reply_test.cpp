// The gateway's replies byte for byte, against replies written out by hand;
// libmodbus_reply_test holds them against libmodbus's own.
#include <gtest/gtest.h>

#include <vector>

#include "modbus/mbap_reply.h"
#include "modbus/modbus_request.h"
#include "modbus_bytes.h"
#include "support/case_name.h"

namespace {

using modbustest::Bytes;

struct ReplyCase {
    const char* name;
    Bytes request;
    std::vector<std::uint16_t> values;  // a read's values
    Bytes reply;
};

const ReplyCase kReplies[] = {
    {"ReadCoilsPacksBitsLowestFirst",
     {0x12, 0x34, 0, 0, 0, 6, 0x01, 0x01, 0x00, 0x96, 0x00, 0x0A},
     {1, 0, 1, 1, 0, 0, 0, 1, 1, 0},
     {0x12, 0x34, 0, 0, 0, 5, 0x01, 0x01, 0x02, 0x8D, 0x01}},
    {"ReadDiscreteInputs",
     {0x00, 0x01, 0, 0, 0, 6, 0x07, 0x02, 0x00, 0x00, 0x00, 0x03},
     {0, 1, 0},
     {0x00, 0x01, 0, 0, 0, 4, 0x07, 0x02, 0x01, 0x02}},
    {"ReadEightCoilsIsOneByte",
     {0x00, 0x09, 0, 0, 0, 6, 0x02, 0x01, 0x27, 0x10, 0x00, 0x08},
     {1, 1, 1, 1, 1, 1, 1, 1},
     {0x00, 0x09, 0, 0, 0, 4, 0x02, 0x01, 0x01, 0xFF}},
    {"ReadHoldingRegistersHighByteFirst",
     {0xAB, 0xCD, 0, 0, 0, 6, 0x01, 0x03, 0x00, 0x0A, 0x00, 0x02},
     {0x1234, 0x00FF},
     {0xAB, 0xCD, 0, 0, 0, 7, 0x01, 0x03, 0x04, 0x12, 0x34, 0x00, 0xFF}},
    {"ReadInputRegisters",
     {0x00, 0x02, 0, 0, 0, 6, 0x02, 0x04, 0x27, 0x10, 0x00, 0x01},
     {0xFFFF},
     {0x00, 0x02, 0, 0, 0, 5, 0x02, 0x04, 0x02, 0xFF, 0xFF}},
    {"WriteSingleCoilEchoes",
     {0x00, 0x03, 0, 0, 0, 6, 0x01, 0x05, 0x00, 0x9D, 0xFF, 0x00},
     {},
     {0x00, 0x03, 0, 0, 0, 6, 0x01, 0x05, 0x00, 0x9D, 0xFF, 0x00}},
    {"WriteSingleRegisterEchoes",
     {0x00, 0x04, 0, 0, 0, 6, 0x01, 0x06, 0x00, 0x14, 0x04, 0xD2},
     {},
     {0x00, 0x04, 0, 0, 0, 6, 0x01, 0x06, 0x00, 0x14, 0x04, 0xD2}},
    {"WriteCoilsAnswersAddressAndCount",
     {0x00, 0x05, 0, 0, 0, 8, 0x01, 0x0F, 0x00, 0x96, 0x00, 0x03, 0x01, 0x05},
     {},
     {0x00, 0x05, 0, 0, 0, 6, 0x01, 0x0F, 0x00, 0x96, 0x00, 0x03}},
    {"WriteRegistersAnswersAddressAndCount",
     {0x00, 0x06, 0, 0, 0, 11, 0x01, 0x10, 0x00, 0x14, 0x00, 0x02, 0x04, 0x00, 0x01, 0x00, 0x02},
     {},
     {0x00, 0x06, 0, 0, 0, 6, 0x01, 0x10, 0x00, 0x14, 0x00, 0x02}},
    {"ReadWithTooFewValuesIsAServerFailure",
     {0x00, 0x07, 0, 0, 0, 6, 0x01, 0x03, 0x00, 0x00, 0x00, 0x02},
     {7},
     {0x00, 0x07, 0, 0, 0, 3, 0x01, 0x83, 0x04}},
};

class Replies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(Replies, AreByteExact) {
    const ReplyCase& c = GetParam();
    qel::modbus::ModbusRequest m;
    ASSERT_EQ(qel::modbus::DecodeRequest(c.request.data(), static_cast<int>(c.request.size()), 7, m),
              qel::modbus::Decoded::Ok);
    EXPECT_EQ(qel::modbus::NormalReply(c.request, m, c.values), c.reply);
}

INSTANTIATE_TEST_SUITE_P(Functions, Replies, ::testing::ValuesIn(kReplies), testsupport::CaseName<ReplyCase>);

TEST(Replies, ReadOfTheMostValuesFillsTheLongestReply) {
    const Bytes request = modbustest::Read(3, 1, 0, 125);
    qel::modbus::ModbusRequest m;
    ASSERT_EQ(qel::modbus::DecodeRequest(request.data(), static_cast<int>(request.size()), 7, m),
              qel::modbus::Decoded::Ok);
    std::vector<std::uint16_t> values(125);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::uint16_t>(i * 0x0101);
    const Bytes reply = qel::modbus::NormalReply(request, m, values);
    ASSERT_EQ(reply.size(), 9u + 250u);
    EXPECT_EQ(reply[4] << 8 | reply[5], 253);
    EXPECT_EQ(reply[8], 250);
    EXPECT_EQ(reply[9 + 2 * 124], 124);
    EXPECT_EQ(reply[9 + 2 * 124 + 1], 124);
}

struct ExceptionCase {
    const char* name;
    Bytes request;
    int code;
    Bytes reply;
};

const ExceptionCase kExceptions[] = {
    {"IllegalAddress", {0xAB, 0xCD, 0, 0, 0, 6, 0x01, 0x03, 0x00, 0x0A, 0x00, 0x02}, 2,
     {0xAB, 0xCD, 0, 0, 0, 3, 0x01, 0x83, 0x02}},
    {"FunctionNotServed", {0x00, 0x10, 0, 0, 0, 2, 0x05, 0x2B}, 1, {0x00, 0x10, 0, 0, 0, 3, 0x05, 0xAB, 0x01}},
    {"FunctionAbove0x80StaysAnException", {0x00, 0x11, 0, 0, 0, 2, 0x05, 0x90}, 1,
     {0x00, 0x11, 0, 0, 0, 3, 0x05, 0x90, 0x01}},
    {"GatewayTarget", {0x00, 0x12, 0, 0, 0, 6, 0x09, 0x06, 0x00, 0x14, 0x04, 0xD2}, 0x0B,
     {0x00, 0x12, 0, 0, 0, 3, 0x09, 0x86, 0x0B}},
};

class Exceptions : public ::testing::TestWithParam<ExceptionCase> {};

TEST_P(Exceptions, AreByteExact) {
    const ExceptionCase& c = GetParam();
    EXPECT_EQ(qel::modbus::ExceptionReply(c.request.data(), c.request.size(), c.code), c.reply);
}

INSTANTIATE_TEST_SUITE_P(Codes, Exceptions, ::testing::ValuesIn(kExceptions), testsupport::CaseName<ExceptionCase>);

}  // namespace
