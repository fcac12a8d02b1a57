// The words of each diagnosis: one row per hint of a failed read or write and
// per fault of an illegal gate, each with the facts behind it, word for word
// as the programs print them.
#include <gtest/gtest.h>

#include <set>

#include "cli/diagnosis_text.h"
#include "cli/exit_codes.h"

namespace {

using namespace qel::session;
using qel::cli::DiagnosisText;
using qel::cli::GateDiagnosisText;

struct HintRow {
    const char* name;
    Hint hint;
    bool write;
    FailureKind failure;
    const char* text;
    int exitCode;
};

Diagnosis Make(const HintRow& row) {
    Diagnosis d;
    d.write = row.write;
    d.gas = row.write ? "001CP0005" : "001DR0010";
    d.station = 1;
    d.outcome = Outcome{row.hint == Hint::NoAnswer ? DriverResult::LineFailure : DriverResult::Refused, row.failure};
    d.hint = row.hint;
    d.model = "FA2";
    d.namedAs = StationKind::FA3;
    d.answersAs = StationKind::FA2;
    d.modelFile = "davEV01.int";
    d.port = "ttyUSB0";
    d.line.baud = 19200;
    d.line.parity = "none";
    d.line.stopBits = "2";
    d.probeTimeoutMs = 100;
    d.answeredAfterMs = 160;
    return d;
}

const HintRow kHints[] = {
    {"presetRange", Hint::PresetRange, true, FailureKind::Refused,
     "the write of 001CP0005 failed: a preset (CP, TP) holds 0 to 9999", 1},
    {"readOnly", Hint::ReadOnly, true, FailureKind::Refused,
     "the write of 001CP0005 failed: the gate is read-only on station 1", 1},
    {"forceNotCleared", Hint::ForceNotCleared, true, FailureKind::None,
     "the write of 001CP0005 failed: station 1 did not confirm the end of force mode; write 001CP0005 0 again, or "
     "warm-start the controller", 1},
    {"unknownModel", Hint::UnknownModel, false, FailureKind::Nak,
     "the read of 001DR0010 failed: the station model file gives station 1 the model FA2, which the driver does not "
     "know: write FA2 or FA3 (capitals), or name it with --station 1:FA3", 1},
    {"unservedRead", Hint::UnservedRead, false, FailureKind::Refused,
     "the read of 001DR0010 failed: the gate check takes WO blocks of an FA-3, but the driver has no FA-3 WO read "
     "frame: it refuses the read and sends nothing, whatever the line settings", 1},
    {"namedModelMismatch", Hint::NamedModelMismatch, false, FailureKind::Nak,
     "the read of 001DR0010 failed: station 1 answers as an FA-2; it is named FA3 in davEV01.int: change its line "
     "001FA3 to 001FA2, or name it with --station 1:FA2", 1},
    {"lineSettings", Hint::LineSettings, false, FailureKind::Echo,
     "the read of 001DR0010 failed: what came back did not match what was sent (an echo that differs, or a garbled "
     "reply): the line settings may differ from the controllers' (now 19200 baud, 8 data bits, none parity, 2 stop "
     "bits); check --baud, --parity, --data-bits and --stop-bits", 2},
    {"takenForFa2", Hint::TakenForFa2, false, FailureKind::Nak,
     "the read of 001DR0010 failed: station 1 answers as an FA-3, but it is taken for an FA-2 because no station "
     "model names it: name it with --station 1:FA3, or add the line 001FA3 to the station model file", 1},
    {"selectionOnly", Hint::SelectionOnly, false, FailureKind::Malformed,
     "the read of 001DR0010 failed: station 1 answers its selection but not this read; it may be an FA-3 that is "
     "not in the station model file (name it with --station 1:FA3)", 1},
    {"slowAnswer", Hint::SlowAnswer, false, FailureKind::NoAnswer,
     "the read of 001DR0010 failed: station 1 answers, but slowly: its selection was answered after 160 ms, and a "
     "station without a recent answer is given 100 ms: raise --probe-timeout to 350 (qelhost scan finds slow "
     "stations and tells the time-out that serves them)", 2},
    {"noAnswer", Hint::NoAnswer, false, FailureKind::NoAnswer,
     "the read of 001DR0010 failed: no answer from station 1 on ttyUSB0 (check the station number and that the "
     "controller is on, the wiring, and the line settings, now 19200 baud, 8 data bits, none parity, 2 stop bits; "
     "qelhost scan lists the stations that answer)", 2},
    {"refusedNak", Hint::StationRefused, false, FailureKind::Nak,
     "the read of 001DR0010 failed: station 1 refused it with a Nak (the address may not exist in this controller, "
     "or the value may not fit the gate)", 1},
    {"refusedMalformed", Hint::StationRefused, false, FailureKind::Malformed,
     "the read of 001DR0010 failed: station 1 refused it with a malformed answer (the address may not exist in this "
     "controller, or the value may not fit the gate)", 1},
    {"refusedWriteUntold", Hint::StationRefused, true, FailureKind::None,
     "the write of 001CP0005 failed: station 1 refused it with a Nak or a malformed answer (the address may not "
     "exist in this controller, or the value may not fit the gate)", 1},
};

class HintWords : public testing::TestWithParam<HintRow> {};

TEST_P(HintWords, AreWordForWordWithTheExitCode) {
    const Diagnosis d = Make(GetParam());
    EXPECT_EQ(DiagnosisText(d), GetParam().text);
    EXPECT_EQ(qel::cli::ExitCode(d.verdict()), GetParam().exitCode);
}

INSTANTIATE_TEST_SUITE_P(Diagnosis, HintWords, testing::ValuesIn(kHints),
                         [](const testing::TestParamInfo<HintRow>& row) { return std::string(row.param.name); });

TEST(HintWords, EveryHintHasARowAndAKeyOfItsOwn) {
    std::set<Hint> covered;
    for (const HintRow& row : kHints) covered.insert(row.hint);
    EXPECT_EQ(covered.size(), static_cast<std::size_t>(kHintCount));
    std::set<std::string> keys;
    for (int i = 0; i < kHintCount; ++i) keys.insert(HintKey(static_cast<Hint>(i)));
    EXPECT_EQ(keys.size(), static_cast<std::size_t>(kHintCount));
}

TEST(HintWords, AStationServedAsTheOtherModelSaysWhatToWrite) {
    Diagnosis d = Make(kHints[0]);
    d.station = 42;
    d.namedAs = StationKind::FA2;
    d.answersAs = StationKind::FA3;
    d.hint = Hint::TakenForFa2;
    EXPECT_EQ(qel::cli::ServedModelText(d),
              "station 42 answers as an FA-3 but is served as an FA-2: add --station 42:FA3");
    d.hint = Hint::NamedModelMismatch;
    EXPECT_EQ(qel::cli::ServedModelText(d), "station 42 answers as an FA-3 but is served as an FA-2: change its line "
                                            "042FA2 in davEV01.int to 042FA3, or add --station 42:FA3");
    d.namedByOption = true;
    EXPECT_EQ(qel::cli::ServedModelText(d),
              "station 42 answers as an FA-3 but is served as an FA-2: write --station 42:FA3 instead of 42:FA2");
    d.hint = Hint::StationRefused;
    EXPECT_EQ(qel::cli::ServedModelText(d), "") << "nothing found, nothing said";
}

// Where the model came from: the line of the model file that names the station.
TEST(HintWords, AModelFromAFileLineNamesTheLine) {
    Diagnosis d = Make(kHints[0]);
    d.modelLine = 3;
    d.hint = Hint::NamedModelMismatch;
    EXPECT_EQ(DiagnosisText(d), "the write of 001CP0005 failed: station 1 answers as an FA-2; it is named FA3 on line "
                                "3 of davEV01.int: change its line 001FA3 to 001FA2, or name it with --station 1:FA2");
    d.hint = Hint::UnknownModel;
    d.model = "FA4";
    EXPECT_EQ(DiagnosisText(d), "the write of 001CP0005 failed: line 3 of davEV01.int gives station 1 the model FA4, "
                                "which the driver does not know: write FA2 or FA3 (capitals), or name it with "
                                "--station 1:FA3");
    d.station = 42;
    d.namedAs = StationKind::FA2;
    d.answersAs = StationKind::FA3;
    d.hint = Hint::NamedModelMismatch;
    EXPECT_EQ(qel::cli::ServedModelText(d), "station 42 answers as an FA-3 but is served as an FA-2: change its line "
                                            "042FA2 (line 3 of davEV01.int) to 042FA3, or add --station 42:FA3");
}

TEST(HintWords, AMismatchNamedByOptionSaysWhichOptionToWrite) {
    HintRow row = kHints[5];
    Diagnosis d = Make(row);
    d.namedByOption = true;
    EXPECT_EQ(DiagnosisText(d), "the read of 001DR0010 failed: station 1 answers as an FA-2; it is named FA3 by "
                                "--station 1:FA3: write --station 1:FA2");
}

GateDiagnosis Gate(GateFault fault, const char* gas, const char* area = "DR", bool takenForFa2 = false) {
    GateDiagnosis d;
    d.fault = fault;
    d.gas = gas;
    d.station3 = std::string(gas).substr(0, 3);
    d.station = 1;
    d.model = "FA2";
    d.takenForFa2 = takenForFa2;
    // Taken for an FA2 with no model file at all; else named on a line of one.
    d.origin.kind = takenForFa2 ? ModelOrigin::Kind::NoFile : ModelOrigin::Kind::FileLine;
    d.origin.file = takenForFa2 ? "/srv/line1/davEV01.int" : "stations.int";
    d.origin.line = takenForFa2 ? 0 : 4;
    d.origin.qel = 1;
    d.area = area;
    return d;
}

const char* const kForm = "a gate address is a three-digit station 000-255, an area and an element of up to four "
                          "digits (001DR0399, 012IO157), or a station and FORCE (005FORCE)";
const char* const kFa2Hint = "; station 1 is an FA2 by default: there is no station model file (no --models FILE, "
                             "and no /srv/line1/davEV01.int, the file the driver reads for QEL 1); if it is an FA-3, "
                             "name it with --station 1:FA3";
const char* const kNamedOnLine = "; station 1 is named FA2 on line 4 of stations.int";

TEST(GateWords, AreWordForWordForEachFault) {
    const std::string form = kForm;
    const std::string hint = kFa2Hint;
    const std::string named = kNamedOnLine;
    std::vector<std::pair<GateDiagnosis, std::string>> rows;
    rows.push_back({Gate(GateFault::TooLong, "001DR000001"),
                    "gate 001DR000001 is illegal: it has more than 9 characters; " + form});
    rows.push_back({Gate(GateFault::NoStation, "x1DR0001"),
                    "gate x1DR0001 is illegal: it does not start with a three-digit station; " + form});
    GateDiagnosis above = Gate(GateFault::StationAbove255, "300DR0001");
    rows.push_back({above, "gate 300DR0001 is illegal: station 300 is above 255"});
    rows.push_back({Gate(GateFault::ForceBlock, "002FORCE", "FORCE"), "gate 002FORCE is illegal: the FORCE gate takes no block"});
    rows.push_back({Gate(GateFault::ForceOnFa2, "001FORCE", "FORCE", true),
                    "gate 001FORCE is illegal: FORCE is the force-mode gate of an FA-3, and station 1, an FA2" + hint});
    rows.push_back({Gate(GateFault::ForceIsBit, "002FORCE", "FORCE"),
                    "gate 002FORCE is illegal: the FORCE gate holds a bit (check it with --bit)"});
    GateDiagnosis missing = Gate(GateFault::AreaMissing, "001WO0001", "WO", true);
    missing.areas = "TM CT DR CP TP IO IR IM SR";
    rows.push_back({missing, "gate 001WO0001 is illegal: WO is no area of station 1, an FA2 (its areas: TM CT DR CP "
                             "TP IO IR IM SR)" + hint});
    GateDiagnosis noArea = Gate(GateFault::NoArea, "001XY0001", "XY");
    noArea.areas = "TM DR";
    rows.push_back({noArea, "gate 001XY0001 is illegal: \"XY\" is no area of station 1, an FA2 (its areas: TM DR); " + form});
    GateDiagnosis badElement = Gate(GateFault::BadElement, "001DR0x1");
    badElement.digits = "0X1";
    rows.push_back({badElement, "gate 001DR0x1 is illegal: the element \"0X1\" is not up to four digits; " + form});
    GateDiagnosis bits = Gate(GateFault::OtherType, "001IO0157", "IO");
    bits.bitArea = true;
    rows.push_back({bits, "gate 001IO0157 is illegal: IO holds bits (check it with --bit)"});
    rows.push_back({Gate(GateFault::OtherType, "001DR0001"),
                    "gate 001DR0001 is illegal: DR holds words (check it with --word)"});
    GateDiagnosis blockOnly = Gate(GateFault::BlockOnly, "002WO0000", "WO");
    blockOnly.model = "FA3";
    blockOnly.legal = "0-7";
    rows.push_back({blockOnly, "gate 002WO0000 is illegal: WO on station 1, an FA3 is read only as a block (--count N; "
                               "elements 0-7); station 1 is named FA3 on line 4 of stations.int"});
    GateDiagnosis count = Gate(GateFault::BlockCount, "001IO0000", "IO");
    count.count = 16;
    count.counts = "8";
    rows.push_back({count, "gate 001IO0000 is illegal: a block of 16 IO elements on station 1, an FA2 is not allowed; "
                           "the count is 8" + named});
    GateDiagnosis noBlock = Gate(GateFault::NoBlock, "001TM0000", "TM");
    noBlock.count = 5;
    rows.push_back({noBlock, "gate 001TM0000 is illegal: the FA2 rule takes no block of TM on station 1, an FA2: read "
                             "the elements one by one (an FA-3 takes TM blocks)" + named});
    GateDiagnosis outside = Gate(GateFault::OutsideRange, "001DR0400");
    outside.element = 400;
    outside.legal = "0-399";
    rows.push_back({outside, "gate 001DR0400 is illegal: element 400 is outside DR on station 1, an FA2 (legal: 0-399)" + named});
    GateDiagnosis bitDigit = Gate(GateFault::OutsideRange, "001IO0158", "IO", true);
    bitDigit.element = 158;
    bitDigit.bitArea = true;
    bitDigit.legal = "0-157";
    rows.push_back({bitDigit, "gate 001IO0158 is illegal: element 158 is outside IO on station 1, an FA2 (legal: "
                              "0-157); the last digit is the bit, 0 to 7" + hint});

    std::set<GateFault> covered;
    for (const auto& [diagnosis, text] : rows) {
        EXPECT_EQ(GateDiagnosisText(diagnosis), text);
        covered.insert(diagnosis.fault);
    }
    EXPECT_EQ(covered.size(), static_cast<std::size_t>(kGateFaultCount)) << "a row for every fault";
}

}  // namespace
