// Where a station's model came from, as a value read from the model file and
// the options, and in words: a line of the file (its own numbering, comments
// and all), a --station option, or the default, because the file names it
// on no line the driver reads, because the driver disregards the whole
// file, or because there is no file (then the davEVnn.int looked for).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/diagnosis_text.h"
#include "session/stations/model_file_check.h"
#include "session/stations/station_option.h"

namespace {

namespace fs = std::filesystem;
using namespace qel::session;
using qel::cli::ModelOriginText;

struct OriginRow {
    const char* name;
    const char* file;  // the model file's text; nullptr: no file
    std::vector<StationModelOption> options;
    unsigned station;
    ModelOrigin::Kind kind;
    int line;
    const char* text;  // "@F" stands for the file's path
};

const OriginRow kRows[] = {
    {"namedOnALine", "# the FA-3s\n001FA2\n002FA3  # the press\n", {}, 2, ModelOrigin::Kind::FileLine, 3,
     "station 2 is named FA3 on line 3 of @F"},
    {"namedFa2OnALine", "001FA2\n002FA3\n", {}, 1, ModelOrigin::Kind::FileLine, 1,
     "station 1 is named FA2 on line 1 of @F"},
    {"notInTheFile", "002FA3\n", {}, 7, ModelOrigin::Kind::NotInFile, 0,
     "station 7 is an FA2 by default: no line of @F that the driver reads names it; if it is an FA-3, name it "
     "with --station 7:FA3, or add the line 007FA3 to @F"},
    {"afterTheBlankLine", "001FA2\n\n005FA3\n", {}, 5, ModelOrigin::Kind::NotInFile, 0,
     "station 5 is an FA2 by default: no line of @F that the driver reads names it; if it is an FA-3, name it "
     "with --station 5:FA3, or add the line 005FA3 to @F"},
    {"byOption", "002FA2\n", {{2, "FA3"}}, 2, ModelOrigin::Kind::Option, 0,
     "station 2 is named FA3 by --station 2:FA3"},
    {"byOptionWithoutAFile", nullptr, {{9, "FA3"}}, 9, ModelOrigin::Kind::Option, 0,
     "station 9 is named FA3 by --station 9:FA3"},
    {"disregarded", "# first\n001FA3\n300FA3\n", {}, 1, ModelOrigin::Kind::Disregarded, 3,
     "station 1 is an FA2 by default: the driver disregards the whole of @F for its line 3; if it is an FA-3, "
     "name it with --station 1:FA3"},
    {"noFile", nullptr, {}, 4, ModelOrigin::Kind::NoFile, 0,
     "station 4 is an FA2 by default: there is no station model file (no --models FILE, and no "
     "/srv/line7/davEV07.int, the file the driver reads for QEL 7); if it is an FA-3, name it with --station 4:FA3"},
};

std::string Replace(std::string text, const std::string& what, const std::string& with) {
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

TEST(ModelOrigin, SaysTheLineTheOptionOrWhyTheDefault) {
    const fs::path path = fs::temp_directory_path() / ("model-origin-" + std::to_string(getpid()) + ".int");
    for (const OriginRow& row : kRows) {
        StationModels models;
        if (row.file != nullptr) {
            std::ofstream(path, std::ios::binary | std::ios::trunc) << row.file;
            std::string text, error;
            ASSERT_TRUE(ReadHandWrittenModelFile(path.string(), models, text, error)) << row.name << ": " << error;
        } else {
            models.lookedFor = "/srv/line7/davEV07.int";
            models.qel = 7;
        }
        ApplyStationOptions(row.options, models);
        const ModelOrigin origin = OriginOf(models, row.station);
        EXPECT_EQ(origin.kind, row.kind) << row.name;
        EXPECT_EQ(origin.line, row.line) << row.name;
        EXPECT_EQ(ModelOriginText(row.station, models.model[row.station], origin),
                  Replace(row.text, "@F", path.string()))
            << row.name;
    }
    fs::remove(path);
}

TEST(ModelOrigin, AFileTheDriverReadsAsItIsKeepsItsLines) {
    StationModels models = ReadStationModels("001FA2\n002FA3\n003FA3\n");
    models.file = "davEV01.int";
    const ModelOrigin origin = OriginOf(models, 3);
    EXPECT_EQ(origin.kind, ModelOrigin::Kind::FileLine);
    EXPECT_EQ(ModelOriginText(3, "FA3", origin), "station 3 is named FA3 on line 3 of davEV01.int");
}

TEST(ModelOrigin, AFrontEndNamesItsOwnSettings) {
    qel::cli::SettingNames names = qel::cli::ProgramNames();
    names.station = [](unsigned station, const std::string& model) {
        return "stations={" + std::to_string(station) + ": \"" + model + "\"}";
    };
    names.models = "models=\"FILE\"";
    ModelOrigin origin;
    origin.kind = ModelOrigin::Kind::NoFile;
    origin.file = "/home/op/davEV01.int";
    origin.qel = 1;
    EXPECT_EQ(ModelOriginText(1, "FA2", origin, names),
              "station 1 is an FA2 by default: there is no station model file (no models=\"FILE\", and no "
              "/home/op/davEV01.int, the file the driver reads for QEL 1); if it is an FA-3, name it with "
              "stations={1: \"FA3\"}");
    origin.kind = ModelOrigin::Kind::Option;
    EXPECT_EQ(ModelOriginText(2, "FA3", origin, names), "station 2 is named FA3 by stations={2: \"FA3\"}");
    // Without a file looked for (a session that never opened a line).
    origin.kind = ModelOrigin::Kind::NoFile;
    origin.file.clear();
    EXPECT_EQ(ModelOriginText(1, "FA2", origin, names),
              "station 1 is an FA2 by default: no station model file names it; if it is an FA-3, name it with "
              "stations={1: \"FA3\"}");
}

}  // namespace
