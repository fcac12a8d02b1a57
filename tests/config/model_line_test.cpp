// ReadModelLine and IsValidModelLine on their own: what one line yields, how
// the line end is read, and which records name a legal station.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "config/station_models.h"
#include "support/case_name.h"

namespace {

using namespace std::string_view_literals;

struct LineRead {
    bool record;
    std::string kept;
};

struct LineCase {
    const char* name;
    std::string_view bytes;
    std::vector<LineRead> reads;  // one per call; the file is at its end after them
};

void PrintTo(const LineCase& row, std::ostream* out) { *out << row.name; }

std::FILE* FileWith(std::string_view bytes) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return nullptr;
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
#if defined(_WIN32)
    // The driver opens the model file in text mode; tmpfile's is binary.
    _setmode(_fileno(file), _O_TEXT);
#endif
    return file;
}

class ModelLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ModelLine, YieldsTheKeptCharactersLineByLine) {
    const LineCase& row = GetParam();
    std::FILE* file = FileWith(row.bytes);
    ASSERT_NE(file, nullptr);
    std::array<char, qel::MODEL_LINE_BUFFER_SIZE> line{};
    for (std::size_t i = 0; i < row.reads.size(); ++i) {
        line.fill('#');
        EXPECT_EQ(qel::ReadModelLine(file, line), row.reads[i].record) << "read " << i;
        EXPECT_EQ(std::string(line.data()), row.reads[i].kept) << "read " << i;
    }
    // Then the end of the file: no record, and it stays so.
    EXPECT_FALSE(qel::ReadModelLine(file, line));
    EXPECT_EQ(qel::ReadTextCharacter(file), EOF);
    EXPECT_FALSE(qel::ReadModelLine(file, line));
    std::fclose(file);
}

const LineCase kLineCases[] = {
    {"Plain", "001FA3\n", {{true, "001FA3"}}},
    {"Space", "001 FA3\n", {{true, "001FA3"}}},
    {"Hyphen", "001-FA3\n", {{true, "001FA3"}}},
    {"Tab", "001\tFA3\n", {{true, "001FA3"}}},
    {"NineCharacters", "001   FA3\n", {{true, "001FA3"}}},
    {"ElevenCharactersCutAfterTen", "  001   FA3\n", {{false, "001FA"}, {false, "3"}}},
    {"TenCharactersLeaveTheLineFeed", "001FA3    \n", {{true, "001FA3"}, {false, ""}}},
    {"TenCharactersLeaveTheCrLf", "001FA3    \r\n", {{true, "001FA3"}, {false, ""}}},
    {"NineCharactersAndCrLf", "001FA3   \r\n", {{true, "001FA3"}}},
    {"CrLf", "001FA3\r\n002FA3\r\n", {{true, "001FA3"}, {true, "002FA3"}}},
    {"LoneCrIsACharacter", "001\rFA3\n", {{true, "001FA3"}}},
    {"CrBeforeCrLf", "001FA3\r\r\n", {{true, "001FA3"}}},
    {"CrAsTenthCharacter", "001FA3   \rX\n", {{true, "001FA3"}, {false, "X"}}},
    {"CrAsEleventhCharacter", "001FA3    \rX\n", {{true, "001FA3"}, {false, "X"}}},
    {"LastLineWithoutLineFeed", "001FA3", {}},
    {"LastLineEndsInCr", "001FA3\r", {}},
    {"FiveKept", "01FA3\n", {{false, "01FA3"}}},
    {"SevenKept", "0001FA3\n", {{false, "0001FA3"}}},
    {"LetterFirstIsStillARecord", "A01FA3\n", {{true, "A01FA3"}}},
    {"BytesAbove127Dropped", "\xE9\xB3" "001FA3\n", {{true, "001FA3"}}},
    {"BytesAbove127Counted", "001FA3\xE9\xE9\xE9\xE9X\n", {{true, "001FA3"}, {false, "X"}}},
    {"NulByteDropped", "001\0FA3\n"sv, {{true, "001FA3"}}},
    {"TenLettersKept", "ABCDEFGHIJKL\n", {{false, "ABCDEFGHIJ"}, {false, "KL"}}},
    {"BlankLine", "\n001FA3\n", {{false, ""}, {true, "001FA3"}}},
    {"Empty", "", {}},
    {"CtrlZEndsTheFile", "001FA3\n\x1A" "002FA3\n", {{true, "001FA3"}}},
    {"CtrlZInsideALine", "001\x1A" "FA3\n", {}},
};

INSTANTIATE_TEST_SUITE_P(Lines, ModelLine, ::testing::ValuesIn(kLineCases), testsupport::CaseName<LineCase>);

struct RecordCase {
    const char* name;
    const char* record;
    bool valid;
};

void PrintTo(const RecordCase& row, std::ostream* out) { *out << row.name; }

class ModelRecord : public ::testing::TestWithParam<RecordCase> {};

TEST_P(ModelRecord, NamesALegalStation) {
    const RecordCase& row = GetParam();
    const std::span<const char, qel::MODEL_RECORD_LENGTH> record(row.record, qel::MODEL_RECORD_LENGTH);
    EXPECT_EQ(qel::IsValidModelLine(record), row.valid);
}

const RecordCase kRecordCases[] = {
    {"Station0", "000FA3", true},     {"Station1", "001FA2", true},     {"Station255", "255FA3", true},
    {"Station199", "199abc", true},   {"DigitModel", "100123", true},   {"Station256", "256FA3", false},
    {"Station999", "999FA3", false},  {"LetterFirst", "A01FA3", false}, {"LetterSecond", "0A1FA3", false},
    {"LetterThird", "00AFA3", false}, {"LetterAll", "FA3001", false},
};

INSTANTIATE_TEST_SUITE_P(Records, ModelRecord, ::testing::ValuesIn(kRecordCases),
                         testsupport::CaseName<RecordCase>);

TEST(ModelFileName, ZeroFilledToTwoDigits) {
    std::array<char, qel::MODEL_FILE_NAME_SIZE> name{};
    qel::ModelFileName(7, name);
    EXPECT_STREQ(name.data(), "davEV07.int");
    qel::ModelFileName(0, name);
    EXPECT_STREQ(name.data(), "davEV00.int");
    qel::ModelFileName(12, name);
    EXPECT_STREQ(name.data(), "davEV12.int");
    qel::ModelFileName(123, name);
    EXPECT_STREQ(name.data(), "davEV123.int");
}

}  // namespace
