// LoadStationModels over real files in the current directory: which stations
// get which model, the result, the messages, and that the file is closed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/scratch_directory.h"
#include "config/station_models.h"
#include "support/case_name.h"
#include "support/log_capture.h"
#include "support/pty_pair.h"

namespace {

using namespace std::string_view_literals;
using testsupport::LogLine;

constexpr char kNoFile[] = "DavEV: No Init file. Assuming FA-2 PLC's.";
constexpr char kDisregarding[] = "DavEV: Disregarding Init file";
constexpr unsigned char kUntouched = 0xEE;  // the fifth byte of every slot

LogLine Info(std::string text) { return {32, std::move(text)}; }

std::vector<LogLine> Illegal(int index) {
    return {Info("DavEV: Line (" + std::to_string(index) + ") in Init file is illegal"), Info(kDisregarding)};
}

using Models = std::vector<std::pair<unsigned, std::string>>;

struct FileCase {
    const char* name;
    bool present;
    std::string bytes;
    int result;
    Models models;  // stations that are not "FA2" afterwards
    std::vector<LogLine> log;
};

void PrintTo(const FileCase& row, std::ostream* out) { *out << row.name; }

std::string Lines(unsigned first, unsigned count, std::string_view model) {
    std::string text;
    char line[16];
    for (unsigned station = first; station < first + count; ++station) {
        std::snprintf(line, sizeof line, "%03u%.3s\n", station, model.data());
        text += line;
    }
    return text;
}

Models Range(unsigned first, unsigned count, const std::string& model) {
    Models models;
    for (unsigned station = first; station < first + count; ++station) models.emplace_back(station, model);
    return models;
}

const std::vector<FileCase>& FileCases() {
    static const std::vector<FileCase> cases = {
        {"NoFile", false, "", 1, {}, {Info(kNoFile)}},
        {"EmptyFile", true, "", 1, {}, {}},
        {"FirstLineBlank", true, "\n001FA3\n", 1, {}, {}},
        {"TwoLines", true, "001FA3\n002FA3\n", 1, {{1, "FA3"}, {2, "FA3"}}, {}},
        {"SeparatorsDropped", true, "001 FA3\n002-FA3\n003\tFA3\n", 1, {{1, "FA3"}, {2, "FA3"}, {3, "FA3"}}, {}},
        {"LaterLineWins", true, "001FA3\n001XY9\n", 1, {{1, "XY9"}}, {}},
        {"LastLineWithoutLineFeed", true, "001FA3\n005FA3", 1, {{1, "FA3"}}, {}},
        {"BlankLineEndsReading", true, "001FA3\n\n002FA3\n", 1, {{1, "FA3"}}, {}},
        {"CommentEndsReading", true, "001FA3\n# comment\n002FA3\n", 1, {{1, "FA3"}}, {}},
        {"Station256OnThirdLine", true, "001FA3\n002FA3\n256FA3\n003FA3\n", 0, {}, Illegal(2)},
        {"LetterFirstIsIllegal", true, "A01FA3\n", 0, {}, Illegal(0)},
        {"LetterInStationIsIllegal", true, "001FA3\n2x5FA3\n", 0, {}, Illegal(1)},
        {"Station999IsIllegal", true, "999FA3\n", 0, {}, Illegal(0)},
        {"FiveKeptEndsSilently", true, "01FA3\n002FA3\n", 1, {}, {}},
        {"SevenKeptEndsSilently", true, "0001FA3\n002FA3\n", 1, {}, {}},
        {"FiveKeptAfterARecord", true, "003FA3\n01FA3\n002FA3\n", 1, {{3, "FA3"}}, {}},
        {"IllegalLineAfterTheEndIsNotRead", true, "01FA3\n256FA3\n", 1, {}, {}},
        {"NineCharacters", true, "001   FA3\n002FA3\n", 1, {{1, "FA3"}, {2, "FA3"}}, {}},
        {"ElevenCharacters", true, "  001   FA3\n002FA3\n", 1, {}, {}},
        {"TenCharactersThenLineFeed", true, "001FA3    \n002FA3\n", 1, {{1, "FA3"}}, {}},
        {"LowerCaseModel", true, "001fa3\n", 1, {{1, "fa3"}}, {}},
        {"DigitModel", true, "007123\n", 1, {{7, "123"}}, {}},
        {"FirstAndLastStation", true, "000FA3\n255FA3\n", 1, {{0, "FA3"}, {255, "FA3"}}, {}},
        {"CrLf", true, "001FA3\r\n002FA3\r\n", 1, {{1, "FA3"}, {2, "FA3"}}, {}},
        {"CrLfTenCharacters", true, "001FA3    \r\n002FA3\r\n", 1, {{1, "FA3"}}, {}},
        {"CrLfNineCharacters", true, "001FA3   \r\n002FA3\r\n", 1, {{1, "FA3"}, {2, "FA3"}}, {}},
        {"CrLfLastLineWithoutLineFeed", true, "001FA3\r\n005FA3", 1, {{1, "FA3"}}, {}},
        {"CrLfIllegalStation", true, "001FA3\r\n256FA3\r\n", 0, {}, Illegal(1)},
        {"LoneCrIsACharacter", true, "001\rFA3\n002FA3\n", 1, {{1, "FA3"}, {2, "FA3"}}, {}},
        {"LoneCrAsTenthCharacter", true, "001FA3   \rX\n002FA3\n", 1, {{1, "FA3"}}, {}},
        {"CrBeforeCrLf", true, "001FA3\r\r\n002FA3\n", 1, {{1, "FA3"}, {2, "FA3"}}, {}},
        {"LastLineEndsInCr", true, "001FA3\n002FA3\r", 1, {{1, "FA3"}}, {}},
        {"BytesAbove127Dropped", true, "001\xB3" "FA3\n\xFF\xFE" "002FA3\n", 1, {{1, "FA3"}, {2, "FA3"}}, {}},
        {"BytesAbove127Counted", true, "003FA3\xE9\xE9\xE9\xE9\xE9\n004FA3\n", 1, {{3, "FA3"}}, {}},
        {"NulByteDropped", true, std::string("001\0FA3\n002FA3\n"sv), 1, {{1, "FA3"}, {2, "FA3"}}, {}},
        {"CtrlZEndsTheFile", true, "001FA3\n\x1A" "002FA3\n", 1, {{1, "FA3"}}, {}},
        {"Exactly256Records", true, Lines(0, 256, "FA3"), 1, Range(0, 256, "FA3"), {}},
        {"MoreThan256Records", true, Lines(0, 256, "FA3") + "000XYZ\n999FA3\n", 1, Range(0, 256, "FA3"), {}},
        {"IllegalAs256thRecord", true, Lines(0, 255, "FA3") + "256FA3\n", 0, {}, Illegal(255)},
    };
    return cases;
}

// A workspace as QEL_INIT hands it over: every slot "FA2", and the fifth
// byte of each slot marked to show it is never written.
DriverWorkspace PreparedWorkspace() {
    DriverWorkspace workspace;
    std::memset(&workspace, kUntouched, sizeof workspace);
    qel::SetDefaultModels(workspace);
    return workspace;
}

void ExpectModels(const DriverWorkspace& workspace, const Models& changed) {
    std::vector<std::string> expected(STATION_COUNT, "FA2");
    for (const auto& [station, model] : changed) expected[station] = model;
    for (unsigned station = 0; station < STATION_COUNT; ++station) {
        const char* slot = workspace.stationModel[station];
        EXPECT_EQ(std::string(slot, 3), expected[station]) << "station " << station;
        EXPECT_EQ(slot[3], '\0') << "station " << station;
        EXPECT_EQ(static_cast<unsigned char>(slot[4]), kUntouched) << "station " << station;
    }
}

class StationModelFile : public ::testing::TestWithParam<FileCase> {
protected:
    testsupport::ScratchDirectory directory_;
    testsupport::LogCapture log_;
};

TEST_P(StationModelFile, SetsModelsLogsAndCloses) {
    const FileCase& row = GetParam();
    if (row.present) testsupport::ScratchDirectory::WriteFile("davEV07.int", row.bytes);
    DriverWorkspace workspace = PreparedWorkspace();
    QelRequest request{};
    request.workspace = &workspace;
    request.operation = QEL_INIT;
    request.qelNumber = 7;

    const int descriptors = testsupport::OpenDescriptorCount();
    EXPECT_EQ(qel::LoadStationModels(request), row.result);
    EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptors) << "the file is closed";
    ExpectModels(workspace, row.models);
    EXPECT_EQ(log_.Lines(), row.log);
}

INSTANTIATE_TEST_SUITE_P(Files, StationModelFile, ::testing::ValuesIn(FileCases()),
                         testsupport::CaseName<FileCase>);

TEST_F(StationModelFile, IllegalLineResetsAlsoSlotsSetBeforeTheFile) {
    testsupport::ScratchDirectory::WriteFile("davEV07.int", "001FA3\n300FA3\n");
    DriverWorkspace workspace = PreparedWorkspace();
    std::memcpy(workspace.stationModel[9], "QQQ", 3);
    QelRequest request{};
    request.workspace = &workspace;
    request.qelNumber = 7;
    EXPECT_EQ(qel::LoadStationModels(request), 0);
    ExpectModels(workspace, {});
}

struct NameCase {
    const char* name;
    std::int32_t qelNumber;
    const char* fileName;
    bool found;
};

void PrintTo(const NameCase& row, std::ostream* out) { *out << row.name; }

class ModelFileNaming : public ::testing::TestWithParam<NameCase> {
protected:
    testsupport::ScratchDirectory directory_;
    testsupport::LogCapture log_;
};

TEST_P(ModelFileNaming, ReadsTheQelsOwnFile) {
    const NameCase& row = GetParam();
    testsupport::ScratchDirectory::WriteFile(row.fileName, "004FA3\n");
    DriverWorkspace workspace = PreparedWorkspace();
    QelRequest request{};
    request.workspace = &workspace;
    request.qelNumber = row.qelNumber;
    EXPECT_EQ(qel::LoadStationModels(request), 1);
    if (row.found) {
        ExpectModels(workspace, {{4, "FA3"}});
        EXPECT_TRUE(log_.Lines().empty());
    } else {
        ExpectModels(workspace, {});
        EXPECT_EQ(log_.Lines(), std::vector<LogLine>{Info(kNoFile)});
    }
}

const NameCase kNameCases[] = {
    {"Qel7", 7, "davEV07.int", true},          {"Qel0", 0, "davEV00.int", true},
    {"Qel12", 12, "davEV12.int", true},        {"Qel123", 123, "davEV123.int", true},
    {"Qel7WithoutZero", 7, "davEV7.int", false}, {"OtherCase", 7, "DAVEV07.INT", false},
    {"OtherQel", 8, "davEV07.int", false},
};

INSTANTIATE_TEST_SUITE_P(Names, ModelFileNaming, ::testing::ValuesIn(kNameCases), testsupport::CaseName<NameCase>);

}  // namespace
