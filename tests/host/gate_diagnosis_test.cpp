// Why the driver refused a gate, as a value, over the driver's own checks on
// a session without a line (every station taken for an FA-2): the fault of
// each kind of mistake, the parts of the address it read, and the legal
// elements it found by asking the driver. The words are the cli suite's.
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>

#include "session/diagnosis/gate_diagnosis.h"
#include "session/driver/driver_library.h"
#include "session/driver/qel_session.h"

namespace {

using namespace qel::session;

class Diagnose : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(driver_.Load(VUZORUR_PATH, error)) << error;
        session_ = std::make_unique<QelSession>(driver_);
        ASSERT_EQ(session_->Init(LineOptions{}), DriverResult::Done);
    }
    void TearDown() override {
        if (session_) session_->Close();
    }
    GateDiagnosis Of(const std::string& gas, int dataType = DATA_TYPE_WORD, int count = 1) {
        Gate gate;
        gate.gas = gas;
        gate.dataType = dataType;
        gate.count = count;
        EXPECT_NE(session_->Check(gate), DriverResult::Done) << gas << ": the driver takes it";
        return DiagnoseGate(*session_, gate, StationModels{});
    }

    DriverLibrary driver_;
    std::unique_ptr<QelSession> session_;
};

TEST_F(Diagnose, EachMistakeHasItsFault) {
    struct Case {
        const char* gas;
        int dataType;
        int count;
        GateFault fault;
    } cases[] = {
        {"0001DR0010", DATA_TYPE_WORD, 1, GateFault::TooLong},
        {"ABCDR0010", DATA_TYPE_WORD, 1, GateFault::NoStation},
        {"1DR0010", DATA_TYPE_WORD, 1, GateFault::NoStation},
        {"300DR0010", DATA_TYPE_WORD, 1, GateFault::StationAbove255},
        {"001FORCE", DATA_TYPE_BIT, 1, GateFault::ForceOnFa2},
        {"001XX0010", DATA_TYPE_WORD, 1, GateFault::NoArea},        // no area of either model
        {"001IM0010", DATA_TYPE_BIT, 1, GateFault::AreaMissing},    // an FA-3's area
        {"001DRAB", DATA_TYPE_WORD, 1, GateFault::BadElement},
        {"001DR0010", DATA_TYPE_BIT, 1, GateFault::OtherType},
        {"001IO0005", DATA_TYPE_WORD, 1, GateFault::OtherType},
        {"001DR9999", DATA_TYPE_WORD, 1, GateFault::OutsideRange},
        {"001DR0400", DATA_TYPE_WORD, 1, GateFault::OutsideRange},
        {"001TM0000", DATA_TYPE_WORD, 5, GateFault::NoBlock},       // an FA-2 takes no TM block at all
        {"001CP0010", DATA_TYPE_WORD, 2, GateFault::NoBlock},
        {"001TM0080", DATA_TYPE_WORD, 5, GateFault::OutsideRange},  // outside the area, block or not
    };
    for (const Case& c : cases) {
        const GateDiagnosis d = Of(c.gas, c.dataType, c.count);
        EXPECT_EQ(static_cast<int>(d.fault), static_cast<int>(c.fault)) << c.gas;
        EXPECT_EQ(d.gas, c.gas);
    }
}

TEST_F(Diagnose, AnElementOutsideItsAreaNamesTheLegalOnes) {
    const GateDiagnosis d = Of("001DR0400");
    ASSERT_EQ(d.fault, GateFault::OutsideRange);
    EXPECT_EQ(d.station, 1u);
    EXPECT_EQ(d.station3, "001");
    EXPECT_EQ(d.area, "DR");
    EXPECT_EQ(d.digits, "0400");
    EXPECT_EQ(d.element, 400);
    EXPECT_FALSE(d.bitArea);
    EXPECT_TRUE(d.takenForFa2);
    EXPECT_EQ(d.legal, "0-399");
    // The same as the driver's own answer, area by area.
    EXPECT_EQ(LegalElements(*session_, 1, "DR", DATA_TYPE_WORD, 1), "0-399");
}

TEST_F(Diagnose, AMissingAreaListsTheStationsAreas) {
    const GateDiagnosis d = Of("001IM0010", DATA_TYPE_BIT);
    ASSERT_EQ(d.fault, GateFault::AreaMissing);
    EXPECT_EQ(d.area, "IM");
    EXPECT_EQ(d.areas.find("IM"), std::string::npos) << d.areas;
    for (const char* area : {"DR", "IO", "TM"}) EXPECT_NE(d.areas.find(area), std::string::npos) << d.areas;
}

TEST_F(Diagnose, LegalElementsOfABitAreaSkipTheBitDigitsEightAndNine) {
    const std::string legal = LegalElements(*session_, 1, "IO", DATA_TYPE_BIT, 1);
    ASSERT_FALSE(legal.empty());
    // Each range starts and ends at a written element whose bit digit is 0-7.
    std::size_t at = 0;
    int numbers = 0;
    while (at < legal.size()) {
        const std::size_t end = legal.find_first_not_of("0123456789", at);
        const std::size_t last = (end == std::string::npos ? legal.size() : end) - 1;
        if (std::isdigit(static_cast<unsigned char>(legal[at]))) {
            EXPECT_LT(legal[last], '8') << legal;
            ++numbers;
        }
        at = end == std::string::npos ? legal.size() : legal.find_first_of("0123456789", end);
        if (at == std::string::npos) break;
    }
    EXPECT_GE(numbers, 2) << legal;
    EXPECT_TRUE(LegalElements(*session_, 1, "XX", DATA_TYPE_WORD, 1).empty());
}

}  // namespace
