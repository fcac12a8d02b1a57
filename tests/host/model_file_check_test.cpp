// The model file check reads a file as the driver does: for every file here
// the models it reports are the ones the driver loads, and its warnings name
// the right lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <utility>

#include "cli/setting_words.h"
#include "session/driver/driver_library.h"
#include "session/stations/model_file_check.h"
#include "session/driver/qel_session.h"
#include "session/stations/station_option.h"

namespace {

namespace fs = std::filesystem;
using namespace qel::session;

struct ModelFileRow {
    const char* name;
    std::string bytes;
    std::vector<std::pair<unsigned, std::string>> models;  // stations not FA2
    std::vector<std::pair<int, std::string>> warnings;     // line and a piece of its text
};

const ModelFileRow kRows[] = {
    {"twoStations", "001FA3\n002FA3\n", {{1, "FA3"}, {2, "FA3"}}, {}},
    {"crLf", "001FA3\r\n002 FA3\r\n", {{1, "FA3"}, {2, "FA3"}}, {}},
    {"noLastLineEnd", "001FA3\n005FA3", {{1, "FA3"}}, {{2, "no line end"}}},
    {"blankLineStops", "001FA3\n\n003FA3\n", {{1, "FA3"}}, {{2, "blank line ends"}}},
    {"trailingBlankLine", "001FA3\n\n", {{1, "FA3"}}, {}},
    {"illegalStation", "001FA3\n002FA3\n256FA3\n", {}, {{3, "disregards the whole file"}}},
    {"letterInStation", "A01FA3\n", {}, {{1, "disregards"}}},
    {"shortStation", "01FA3\n002FA3\n", {}, {{1, "three digits: 001FA3"}}},
    {"lowerCase", "002fa3\n", {{2, "fa3"}}, {{1, "capitals matter"}}},
    {"unknownModel", "002FA9\n", {{2, "FA9"}}, {{1, "neither FA2 nor FA3"}}},
    {"longLineCut", "  001   FA3\n002FA3\n", {}, {{1, "keeps \"001FA\""}}},
    {"tenCharacterLine", "001FA3    \n002FA3\n", {{1, "FA3"}}, {{1, "longer than 10 characters"}}},
    {"laterLineWins", "002FA3\n002FA2\n", {}, {{1, "named again on line 2"}}},
    {"ctrlZEnds", "001FA3\n\x1a" "002FA3\n", {{1, "FA3"}}, {}},
};

TEST(ModelFileCheck, ReadsLikeTheDriverAndNamesTheLines) {
    DriverLibrary driver;
    std::string error;
    ASSERT_TRUE(driver.Load(VUZORUR_PATH, error)) << error;
    const fs::path start = fs::current_path();
    const fs::path dir = fs::temp_directory_path() / ("model-check-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::current_path(dir);
    for (const ModelFileRow& row : kRows) {
        const StationModels checked = ReadStationModels(row.bytes);
        std::array<std::string, STATION_COUNT> expected;
        expected.fill("FA2");
        for (const auto& [station, model] : row.models) expected[station] = model;
        EXPECT_EQ(checked.model, expected) << row.name;

        std::ofstream("davEV01.int", std::ios::binary) << row.bytes;
        QelSession session(driver);
        LineOptions line;
        ASSERT_EQ(session.Init(line), DriverResult::Done) << row.name;
        for (unsigned s = 0; s < STATION_COUNT; ++s) {
            EXPECT_EQ(session.StationModel(s), checked.model[s]) << row.name << " station " << s;
        }
        session.Close();

        ASSERT_EQ(checked.warnings.size(), row.warnings.size()) << row.name;
        for (std::size_t i = 0; i < row.warnings.size(); ++i) {
            EXPECT_EQ(checked.warnings[i].line, row.warnings[i].first) << row.name;
            EXPECT_NE(checked.warnings[i].text.find(row.warnings[i].second), std::string::npos)
                << row.name << ": " << checked.warnings[i].text;
        }
    }
    fs::current_path(start);
    fs::remove_all(dir);
}

TEST(ModelFileCheck, WritesWhatItRead) {
    StationModels models = ReadStationModels("002FA3\n007FA2\n");
    ApplyStationOptions({{9, "FA3"}, {2, "FA2"}}, models);
    EXPECT_EQ(StationModelText(models), "002FA2\n007FA2\n009FA3\n");
}

struct StationListRow {
    const char* text;
    bool ok;
    std::vector<unsigned> stations;
};

TEST(StationOptions, ListsAndModels) {
    const StationListRow rows[] = {
        {"3", true, {3}}, {"1,2,7-9", true, {1, 2, 7, 8, 9}}, {"9-7", false, {}}, {"256", false, {}},
        {"1,,2", false, {}}, {"5,1-2,2", true, {1, 2, 5}}, {"", false, {}},
    };
    for (const StationListRow& row : rows) {
        std::vector<unsigned> stations;
        EXPECT_EQ(ParseStationList(row.text, stations), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(stations, row.stations) << row.text;
        }
    }
    StationModelOption option;
    std::vector<unsigned> all;
    EXPECT_TRUE(ParseStationList("0-255", all));
    EXPECT_EQ(all.size(), 256u);
    EXPECT_EQ(ParseStationModel("002:fa3", option), StationModelFault::None);
    EXPECT_EQ(option.station, 2u);
    EXPECT_EQ(option.model, "FA3");
    const std::pair<const char*, StationModelFault> bad[] = {
        {"2", StationModelFault::Station},     {"2:FA4", StationModelFault::Model}, {"300:FA3", StationModelFault::Station},
        {":FA3", StationModelFault::Station},  {"x:FA2", StationModelFault::Station}, {"7:", StationModelFault::Model},
    };
    for (const auto& [text, fault] : bad) EXPECT_EQ(ParseStationModel(text, option), fault) << text;
}

// The programs' words name their own options; the library's facts name none.
TEST(StationOptions, TheProgramsWordsNameTheirOwnOptions) {
    EXPECT_EQ(qel::cli::StationModelWords("2:FA4", StationModelFault::Model), "--station 2:FA4: the model is FA2 or FA3");
    EXPECT_EQ(qel::cli::StationModelWords("300:FA3", StationModelFault::Station),
              "--station 300:FA3: write a station 0 to 255 and a model, e.g. --station 2:FA3");
    EXPECT_EQ(qel::cli::StationListWords("--units", "0-300"),
              "--units 0-300: write stations 0 to 255 as a range or a list, e.g. 0-255 or 1,2,10-20");
    const struct {
        OpenFault fault;
        const char* words;
    } rows[] = {
        {OpenFault::None, ""},
        {OpenFault::Driver, "name another driver with --driver PATH"},
        {OpenFault::TcpForm, "write a line over TCP as --port tcp:HOST:PORT"},
        {OpenFault::TcpWithoutPrefix, "for a line over TCP write --port tcp:10.0.0.5:4001"},
        {OpenFault::LineSettings, "check --baud, --data-bits, --parity and --stop-bits"},
    };
    for (const auto& row : rows) EXPECT_EQ(qel::cli::OpenFaultWords(row.fault, "10.0.0.5:4001"), row.words);
}

}  // namespace
