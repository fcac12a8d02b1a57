// The hand-written line files: what is an entry, what its line number is,
// and what is left out, whatever editor wrote the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/line_file.h"
#include "support/case_name.h"

namespace {

using qel::common::TextLine;

struct SplitCase {
    const char* name;
    std::string text;
    std::vector<std::pair<unsigned, std::string>> entries;
};

const SplitCase kSplits[] = {
    {"PlainLines", "001DR0010\n002IO0005 8 bit\n", {{1, "001DR0010"}, {2, "002IO0005 8 bit"}}},
    {"CrLfEndsLeaveNoCr", "001DR0010\r\n002DR0020\r\n", {{1, "001DR0010"}, {2, "002DR0020"}}},
    {"ByteOrderMarkIsNotPartOfTheFirstEntry", "\xEF\xBB\xBF" "001FA3\n002FA2\n", {{1, "001FA3"}, {2, "002FA2"}}},
    {"ByteOrderMarkWithCrLf", "\xEF\xBB\xBF" "001FA3\r\n", {{1, "001FA3"}}},
    {"ByteOrderMarkOnlyAtTheStart", "001FA3\n\xEF\xBB\xBF" "002FA3\n", {{1, "001FA3"}, {2, "\xEF\xBB\xBF" "002FA3"}}},
    {"CommentLinesAndBlankLinesAreLeftOutButCounted",
     "# the hot gates\n\n   \n001DR0010\n\t# indented comment\n002DR0020\n",
     {{4, "001DR0010"}, {6, "002DR0020"}}},
    {"CommentAfterTheEntry", "001DR0010   # level\n002DR0020\t#tank\n", {{1, "001DR0010"}, {2, "002DR0020"}}},
    {"HashInsideAWordIsNotAComment", "tag=a#b 001DR0010\n", {{1, "tag=a#b 001DR0010"}}},
    {"BlanksAroundAreTrimmed", "  \t001DR0010 5  \t\r\n", {{1, "001DR0010 5"}}},
    {"LastLineWithoutNewline", "001DR0010\n002DR0020", {{1, "001DR0010"}, {2, "002DR0020"}}},
    {"EmptyText", "", {}},
    {"OnlyAByteOrderMark", "\xEF\xBB\xBF", {}},
    {"CrOnlyLine", "\r\n\r\n001DR0010\r\n", {{3, "001DR0010"}}},
};

class Split : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Split, GivesTheEntriesWithTheirLineNumbers) {
    const SplitCase& c = GetParam();
    const std::vector<TextLine> lines = qel::common::SplitTextLines(c.text);
    ASSERT_EQ(lines.size(), c.entries.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].number, c.entries[i].first) << i;
        EXPECT_EQ(lines[i].text, c.entries[i].second) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, Split, ::testing::ValuesIn(kSplits), testsupport::CaseName<SplitCase>);

struct StripCase {
    const char* line;
    const char* stripped;
};

TEST(StripComment, LeavesWhatPrecedesAHashAfterABlank) {
    const StripCase cases[] = {
        {"#", ""},
        {"# all of it", ""},
        {"001DR0010 # x", "001DR0010"},
        {"001DR0010\t#x", "001DR0010"},
        {"a#b", "a#b"},
        {"a#b #c", "a#b"},
        {"  a  ", "a"},
        {"\r", ""},
        {"", ""},
    };
    for (const StripCase& c : cases) EXPECT_EQ(qel::common::StripComment(c.line), c.stripped) << c.line;
}

TEST(ReadTextLines, ReadsAFileAsItsTextSplits) {
    char path[] = "/tmp/line_file_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    // The bytes as a Windows editor saves them: a byte-order mark and CR LF.
    const std::string text = "\xEF\xBB\xBF# models\r\n001FA3\r\n\r\n002FA2 # second\r\n";
    {
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
    std::vector<TextLine> lines;
    std::string error;
    ASSERT_TRUE(qel::common::ReadTextLines(path, lines, error)) << error;
    std::remove(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].number, 2u);
    EXPECT_EQ(lines[0].text, "001FA3");
    EXPECT_EQ(lines[1].number, 4u);
    EXPECT_EQ(lines[1].text, "002FA2");
}

TEST(ReadTextLines, AFileThatCannotBeReadIsAnErrorThatNamesIt) {
    std::vector<TextLine> lines = {{1, "left over"}};
    std::string error;
    EXPECT_FALSE(qel::common::ReadTextLines("/nonexistent/gates.txt", lines, error));
    EXPECT_NE(error.find("/nonexistent/gates.txt"), std::string::npos) << error;
}

}  // namespace
