// Missing records, overlong text and bytes outside ASCII.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "gate_fixture.h"

namespace qel::test {
namespace {

constexpr std::array<std::int32_t, 2> kOperations = {QEL_CHECK_GATE, QEL_CHECK_BLOCK};

std::int32_t Dispatch(const QelRequest* request, std::int32_t operation) {
    return operation == QEL_CHECK_BLOCK ? CheckBlockGate(request) : CheckSingleGate(request);
}

TEST(MissingRecords, NullRequestIsRejected) {
    // QelMain refuses it before any handler sees it.
    EXPECT_EQ(QelMain(nullptr), 1);
}

TEST(MissingRecords, NullParametersAreRejected) {
    for (const std::int32_t operation : kOperations) {
        DriverWorkspace workspace = MakeWorkspace("FA3");
        const QelRequest request = MakeRequest(&workspace, nullptr, operation);
        EXPECT_EQ(Dispatch(&request, operation), 1);
    }
}

TEST(MissingRecords, NullWorkspaceIsRejected) {
    for (const std::int32_t operation : kOperations) {
        GateDefinition gate = MakeGate("001DR0001", DATA_TYPE_WORD, 1);
        const QelRequest request = MakeRequest(nullptr, &gate, operation);
        EXPECT_EQ(Dispatch(&request, operation), 1);
        EXPECT_EQ(gate.fixedOut1, 255u);
        EXPECT_EQ(gate.fixedOut2, 16u);
        EXPECT_EQ(gate.station, 0u);
        EXPECT_EQ(gate.areaCode, 0u);
        EXPECT_EQ(gate.element, UNTOUCHED);
    }
}

TEST(MissingRecords, NullGasIsRejected) {
    for (const std::int32_t operation : kOperations) {
        DriverWorkspace workspace = MakeWorkspace("FA3");
        const DriverWorkspace before = workspace;
        GateDefinition gate = MakeGate(nullptr, DATA_TYPE_WORD, 1);
        EXPECT_EQ(RunCheck(workspace, gate, operation), 1);
        EXPECT_EQ(gate.fixedOut1, 255u);
        EXPECT_EQ(gate.fixedOut2, 16u);
        EXPECT_EQ(gate.station, 0u);
        EXPECT_EQ(gate.areaCode, 0u);
        EXPECT_EQ(gate.element, UNTOUCHED);
        EXPECT_EQ(std::memcmp(&workspace, &before, sizeof workspace), 0);
    }
}

// A GAS thousands of characters long: rejected, and nothing after the 15
// bytes of the scratch (lastStation comes next) is written.
TEST(LongText, FiveThousandCharactersStayOutOfTheWorkspace) {
    for (const char* model : {"FA2", "FA3"}) {
        for (const std::int32_t operation : kOperations) {
            DriverWorkspace workspace = MakeWorkspace(model);
            workspace.lastStation = 0xA55A;
            const DriverWorkspace before = workspace;
            const std::string gas = "001DR0001" + std::string(4991, '7');
            ASSERT_EQ(gas.size(), 5000u);
            GateDefinition gate = MakeGate(gas.c_str(), DATA_TYPE_WORD, 8);
            EXPECT_EQ(RunCheck(workspace, gate, operation), 1);
            EXPECT_EQ(gate.fixedOut1, 255u);
            EXPECT_EQ(gate.fixedOut2, 16u);
            EXPECT_EQ(gate.station, 0u);
            EXPECT_EQ(gate.element, UNTOUCHED);

            const std::uint16_t canary = workspace.lastStation;
            EXPECT_EQ(canary, 0xA55A);
            constexpr std::size_t after = offsetof(DriverWorkspace, gasScratch) + GAS_SCRATCH_SIZE;
            const auto* now = reinterpret_cast<const unsigned char*>(&workspace);
            const auto* was = reinterpret_cast<const unsigned char*>(&before);
            EXPECT_EQ(std::memcmp(now, was, offsetof(DriverWorkspace, gasScratch)), 0);
            EXPECT_EQ(std::memcmp(now + after, was + after, sizeof workspace - after), 0);
        }
    }
}

// Lengths around the limit: 9 characters pass the length test, 10 and more
// are rejected whatever follows.
TEST(LongText, LengthLimitIsNine) {
    DriverWorkspace workspace = MakeWorkspace("FA3");
    EXPECT_EQ(Check(workspace, "001DR0001", DATA_TYPE_WORD, QEL_CHECK_GATE).result, 0);
    for (std::size_t extra = 1; extra <= 40; ++extra) {
        const std::string gas = "001DR0001" + std::string(extra, '0');
        EXPECT_EQ(Check(workspace, gas, DATA_TYPE_WORD, QEL_CHECK_GATE).result, 1) << gas;
        EXPECT_EQ(Check(workspace, gas, DATA_TYPE_WORD, QEL_CHECK_BLOCK).result, 1) << gas;
    }
}

// The host's text is read no further than one character past the longest
// GAS: a ten-character text with no terminator behind it is rejected without
// a read beyond it (which the address sanitizer would report).
TEST(LongText, ScanStopsOnceTheTextIsTooLong) {
    constexpr std::size_t size = MAX_GAS_LENGTH + 1;
    const auto text = std::make_unique<char[]>(size);
    std::memcpy(text.get(), "001DR00012", size);
    for (const std::int32_t operation : kOperations) {
        DriverWorkspace workspace = MakeWorkspace("FA3");
        GateDefinition gate = MakeGate(text.get(), DATA_TYPE_WORD, 1);
        EXPECT_EQ(RunCheck(workspace, gate, operation), 1);
    }
}

// Bytes above 127 never pass for digits or letters: upper-casing them by
// subtracting 32 would not make them valid either, but they are rejected in
// every position of an otherwise valid GAS.
TEST(NonAscii, HighBytesAreRejectedInEveryPosition) {
    const std::string valid[] = {"001DR0012", "001IO0157", "001IM0640", "001FORCE", "001dr0012"};
    for (const char* model : {"FA2", "FA3"}) {
        DriverWorkspace workspace = MakeWorkspace(model);
        for (const std::string& base : valid) {
            for (std::size_t position = 0; position < base.size(); ++position) {
                for (unsigned byte = 0x80; byte <= 0xFF; ++byte) {
                    std::string gas = base;
                    gas[position] = static_cast<char>(byte);
                    for (const std::int32_t dataType : {DATA_TYPE_WORD, DATA_TYPE_BIT}) {
                        for (const std::int32_t operation : kOperations) {
                            ASSERT_EQ(Check(workspace, gas, dataType, operation, 8).result, 1)
                                << model << " position " << position << " byte " << byte;
                        }
                    }
                }
            }
        }
    }
}

// High bytes are not upper-cased: 0xE4 0xF2 is not taken for 0xC4 0xD2, and
// neither pair is "DR"; a high byte stays in the scratch as it came.
TEST(NonAscii, NotMisreadAsUpperCase) {
    DriverWorkspace workspace = MakeWorkspace("FA3");
    EXPECT_EQ(Check(workspace, "001\xE4\xF2" "0012", DATA_TYPE_WORD, QEL_CHECK_GATE).result, 1);
    EXPECT_EQ(Check(workspace, "001\xC4\xD2" "0012", DATA_TYPE_WORD, QEL_CHECK_GATE).result, 1);
    EXPECT_EQ(Check(workspace, "\xE1\xE1\xE1" "DR0012", DATA_TYPE_WORD, QEL_CHECK_GATE).result, 1);
    EXPECT_EQ(Check(workspace, "001\xE6\xEF\xF2\xE3\xE5", DATA_TYPE_BIT, QEL_CHECK_GATE).result, 1);
    GateDefinition gate = MakeGate("001DR\xE1", DATA_TYPE_WORD);
    EXPECT_EQ(RunCheck(workspace, gate, QEL_CHECK_GATE), 1);
    EXPECT_EQ(workspace.gasScratch[5], 0xE1);
}

// Control characters and the ASCII signs around the letters are rejected too.
TEST(NonAscii, AsciiSignsAreRejected) {
    DriverWorkspace workspace = MakeWorkspace("FA3");
    const std::string base = "001DR0012";
    for (std::size_t position = 0; position < base.size(); ++position) {
        for (unsigned byte = 1; byte <= 0x7F; ++byte) {
            const bool digit = byte >= '0' && byte <= '9';
            const bool letter = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
            if (digit || letter) continue;
            std::string gas = base;
            gas[position] = static_cast<char>(byte);
            ASSERT_EQ(Check(workspace, gas, DATA_TYPE_WORD, QEL_CHECK_GATE).result, 1)
                << "position " << position << " byte " << byte;
        }
    }
}

}  // namespace
}  // namespace qel::test
