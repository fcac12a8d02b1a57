// Every written number 0 to 9999 of the byte-and-bit areas IO, IR and IM, on
// both models: what is accepted lands inside the stored ranges, every stored
// range is hit completely, and a bit digit of 8 or 9 is never accepted.
#include <gtest/gtest.h>

#include <bitset>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "gate_fixture.h"

namespace qel::test {
namespace {

struct StoredRange {
    std::uint32_t first;
    std::uint32_t last;
};

struct AreaSweep {
    const char* model;
    const char* mnemonic;
    std::uint32_t areaCode;
    std::vector<StoredRange> stored;  // the stored elements the written numbers map to
};

std::ostream& operator<<(std::ostream& out, const AreaSweep& sweep) {
    return out << sweep.mnemonic << " on " << sweep.model;
}

constexpr std::size_t ELEMENT_SPACE = 65536;

class BitAreaSweep : public ::testing::TestWithParam<AreaSweep> {};

TEST_P(BitAreaSweep, StoredRangesAreExactAndGapFree) {
    const AreaSweep& sweep = GetParam();
    DriverWorkspace workspace = MakeWorkspace(sweep.model);
    std::bitset<ELEMENT_SPACE> hit;
    std::bitset<ELEMENT_SPACE> expected;
    for (const StoredRange& range : sweep.stored) {
        for (std::uint32_t e = range.first; e <= range.last; ++e) expected.set(e);
    }

    unsigned accepted = 0;
    for (unsigned written = 0; written <= 9999; ++written) {
        const std::string gas = std::string("001") + sweep.mnemonic + FourDigits(written);
        const CheckOutcome outcome = Check(workspace, gas, DATA_TYPE_BIT, QEL_CHECK_GATE);
        ASSERT_EQ(outcome.fixedOut1, 255u);
        ASSERT_EQ(outcome.fixedOut2, 16u);
        ASSERT_EQ(outcome.station, 1u) << gas;
        ASSERT_EQ(outcome.areaCode, sweep.areaCode) << gas;
        if (outcome.result != 0) continue;
        ++accepted;
        ASSERT_LT(written % 10, 8u) << gas << " accepted with bit digit 8 or 9";
        ASSERT_LT(outcome.element, ELEMENT_SPACE) << gas;
        ASSERT_TRUE(expected.test(outcome.element)) << gas << " stored " << outcome.element;
        ASSERT_FALSE(hit.test(outcome.element)) << gas << " stored " << outcome.element << " twice";
        hit.set(outcome.element);
    }
    EXPECT_EQ(hit, expected) << "a stored range is not hit completely";
    EXPECT_EQ(accepted, expected.count());
}

INSTANTIATE_TEST_SUITE_P(
    Fa2, BitAreaSweep,
    ::testing::Values(AreaSweep{"FA2", "IO", AREA_IO, {{0, 127}, {160, 287}}},
                      AreaSweep{"FA2", "IR", AREA_IR, {{320, 559}, {1760, 1887}, {1920, 2159}}},
                      AreaSweep{"FA2", "IM", AREA_IR, {}}));

// IM 640 to 1317 takes the IM rule first, so the IR rule serves IM only below
// 640 (stored 320 to 511) and from 2400 on.
INSTANTIATE_TEST_SUITE_P(
    Fa3, BitAreaSweep,
    ::testing::Values(
        AreaSweep{"FA3", "IO", AREA_IO, {{0, 127}, {160, 287}, {1600, 1727}, {1760, 1887}}},
        AreaSweep{"FA3", "IR", AREA_IR, {{320, 559}, {1920, 2159}}},
        AreaSweep{"FA3", "IM", AREA_IR, {{320, 511}, {1920, 2159}, {3512, 4055}}},
        AreaSweep{"fa3", "im", AREA_IR, {{320, 511}, {1920, 2159}, {3512, 4055}}}));

// The decimal areas accept exactly their ranges, written with any number of
// digits from none to four.
struct DecimalSweep {
    const char* model;
    const char* mnemonic;
    std::uint32_t areaCode;
    std::int32_t dataType;
    std::vector<StoredRange> accepted;
};

std::ostream& operator<<(std::ostream& out, const DecimalSweep& sweep) {
    return out << sweep.mnemonic << " on " << sweep.model;
}

class DecimalAreaSweep : public ::testing::TestWithParam<DecimalSweep> {};

TEST_P(DecimalAreaSweep, AcceptsExactlyItsRanges) {
    const DecimalSweep& sweep = GetParam();
    DriverWorkspace workspace = MakeWorkspace(sweep.model);
    for (unsigned written = 0; written <= 9999; ++written) {
        bool inRange = false;
        for (const StoredRange& range : sweep.accepted) {
            inRange = inRange || (written >= range.first && written <= range.last);
        }
        const std::string gas = std::string("001") + sweep.mnemonic + FourDigits(written);
        const CheckOutcome outcome = Check(workspace, gas, sweep.dataType, QEL_CHECK_GATE);
        ASSERT_EQ(outcome.result, inRange ? 0 : 1) << gas;
        ASSERT_EQ(outcome.areaCode, sweep.areaCode) << gas;
        ASSERT_EQ(outcome.element, written) << gas;
    }
}

INSTANTIATE_TEST_SUITE_P(
    BothModels, DecimalAreaSweep,
    ::testing::Values(DecimalSweep{"FA2", "TM", AREA_TM, DATA_TYPE_WORD, {{0, 79}}},
                      DecimalSweep{"FA2", "CT", AREA_CT, DATA_TYPE_WORD, {{0, 46}}},
                      DecimalSweep{"FA2", "DR", AREA_DR, DATA_TYPE_WORD, {{0, 399}}},
                      DecimalSweep{"FA2", "CP", AREA_CP, DATA_TYPE_WORD, {{0, 46}}},
                      DecimalSweep{"FA2", "TP", AREA_TP, DATA_TYPE_WORD, {{0, 79}}},
                      DecimalSweep{"FA2", "SR", AREA_SR, DATA_TYPE_BIT, {{0, 127}}},
                      DecimalSweep{"FA3", "TM", AREA_TM, DATA_TYPE_WORD, {{0, 255}}},
                      DecimalSweep{"FA3", "CT", AREA_CT, DATA_TYPE_WORD, {{0, 46}, {48, 102}}},
                      DecimalSweep{"FA3", "DR", AREA_DR, DATA_TYPE_WORD, {{0, 999}}},
                      DecimalSweep{"FA3", "CP", AREA_CP, DATA_TYPE_WORD, {{0, 46}, {48, 102}}},
                      DecimalSweep{"FA3", "TP", AREA_TP, DATA_TYPE_WORD, {{0, 255}}},
                      DecimalSweep{"FA3", "SR", AREA_SR, DATA_TYPE_BIT, {{0, 223}}}));

// Short element parts mean the same number as their four-digit form.
TEST(ElementDigits, ShortFormsEqualFourDigitForms) {
    DriverWorkspace workspace = MakeWorkspace("FA3");
    for (unsigned written = 0; written <= 999; ++written) {
        const std::string full = FourDigits(written);
        for (std::size_t drop = 1; drop <= 3; ++drop) {
            if (full.compare(0, drop, std::string(drop, '0')) != 0) break;
            const std::string shortForm = "001IO" + full.substr(drop);
            EXPECT_EQ(Check(workspace, shortForm, DATA_TYPE_BIT, QEL_CHECK_GATE),
                      Check(workspace, "001IO" + full, DATA_TYPE_BIT, QEL_CHECK_GATE))
                << shortForm;
        }
    }
}

}  // namespace
}  // namespace qel::test
