// The tag fields of a gate list's entries: what they set, today's entries
// unchanged, and each bad entry refused with its file:line and what is
// accepted.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "session/gates/gate_list.h"
#include "support/case_name.h"

namespace {

using qel::session::ListedGate;
using qel::session::TagType;
using qel::session::WordOrder;

std::vector<ListedGate> Parse(const std::vector<qel::common::TextLine>& lines) {
    std::vector<ListedGate> listed;
    std::string error;
    EXPECT_TRUE(qel::session::ParseGateList(lines, "gates.txt", listed, error)) << error;
    return listed;
}

TEST(TagList, FieldsOfAnEntry) {
    const auto listed = Parse({
        {1, "001DR0010 tag=oven_temp type=int16 scale=0.1 offset=-5 unit=\"deg C\" deadband=0.5 "
            "desc=\"oven 2, zone A\" 2s"},
        {2, "001DR0020 tag=counter type=uint32 order=lo-hi"},
        {3, "001DR0100 10 type=int32"},
        {4, "001IO0005 type=bool tag=door"},
    });
    ASSERT_EQ(listed.size(), 4u);
    const auto& oven = listed[0];
    EXPECT_EQ(oven.tag, "oven_temp");
    EXPECT_EQ(oven.spec.type, TagType::Int16);
    EXPECT_DOUBLE_EQ(oven.spec.scale, 0.1);
    EXPECT_DOUBLE_EQ(oven.spec.offset, -5);
    EXPECT_EQ(oven.spec.unit, "deg C");
    EXPECT_DOUBLE_EQ(oven.spec.deadband, 0.5);
    EXPECT_EQ(oven.spec.desc, "oven 2, zone A");
    EXPECT_DOUBLE_EQ(oven.period, 2);
    EXPECT_EQ(oven.gate.count, 1);
    EXPECT_EQ(oven.line, 1u);
    // A 32-bit type reads two words a value; an array of 10 reads 20.
    EXPECT_EQ(listed[1].gate.count, 2);
    EXPECT_EQ(listed[1].spec.order, WordOrder::LoHi);
    EXPECT_EQ(listed[2].gate.count, 20);
    EXPECT_EQ(listed[2].spec.type, TagType::Int32);
    EXPECT_EQ(listed[3].spec.type, TagType::Bool);
    EXPECT_EQ(listed[3].gate.dataType, DATA_TYPE_BIT);
}

TEST(TagList, TodaysEntriesKeepTheirMeaning) {
    const auto listed = Parse({{1, "001DR0010 8 5s tag=x"}, {2, "001IO0005"}, {3, "001DR0020 bit"}});
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].gate.count, 8);
    EXPECT_EQ(listed[0].spec.type, TagType::UInt16);
    EXPECT_FALSE(listed[0].spec.typed);
    EXPECT_TRUE(listed[0].spec.Identity());
    EXPECT_FALSE(listed[0].fields);
    EXPECT_EQ(listed[1].spec.type, TagType::Bool);
    EXPECT_EQ(listed[2].spec.type, TagType::Bool);
    EXPECT_EQ(listed[2].gate.count, 1);
}

TEST(TagList, AListReadWholeTakesNoTagFields) {
    const std::string path = "/tmp/tag-list-" + std::to_string(::getpid()) + ".txt";
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("001DR0010 type=int16\n", f);
    std::fclose(f);
    std::vector<qel::session::Gate> gates;
    std::string error;
    bool periodRefused = false;
    EXPECT_FALSE(qel::session::ReadGateList(path, gates, error, &periodRefused));
    EXPECT_TRUE(periodRefused);
    EXPECT_NE(error.find("a tag's field"), std::string::npos) << error;
    std::remove(path.c_str());
}

struct BadCase {
    const char* name;
    const char* line;
    const char* says;
};

const BadCase kBad[] = {
    {"UnknownType", "001DR0010 type=int64",
     "type=int64 is no type; a type is one of bool, int16, uint16, int32, uint32, float32, bcd16, bcd32"},
    {"ScaleZero", "001DR0010 type=int16 scale=0", "scale=0 would make every value the same; scale is a number"},
    {"ScaleNoNumber", "001DR0010 scale=ten", "scale=ten is no number; write e.g. scale=0.1"},
    {"DeadbandOnBool", "001IO0005 type=bool deadband=1", "a deadband on a bool; a bit changes whole"},
    {"DeadbandOnABitGate", "001IO0005 deadband=1", "a deadband on a bool"},
    {"DeadbandNegative", "001DR0010 deadband=-1", "a deadband is 0 or more"},
    {"TypeOnBitArea", "001IO0005 type=int16",
     "type=int16 on a bit gate; a bit gate takes type=bool or no type, the other types need a word area"},
    {"BoolOnWordArea", "001DR0010 type=bool", "type=bool on a word gate; bool is for bit gates"},
    {"ScaleOnBool", "001IO0005 scale=2", "scale or offset on a bool"},
    {"UnknownOrder", "001DR0010 type=int32 order=big", "order=big is no word order; write order=hi-lo"},
    {"TooManyWords", "001DR0010 60 type=float32",
     "60 values are 120 words; a block reads at most 100 words, 50 values of a 32-bit type"},
    {"QuoteNotClosed", "001DR0010 desc=\"zone A", "a quote is not closed"},
    {"UnknownField", "001DR0010 units=degC", "\"units\" is no field of an entry; the fields are tag, type, order"},
    {"UnitWithABackslash", "001DR0010 unit=a\\b", "plain text"},
};

class TagListErrors : public ::testing::TestWithParam<BadCase> {};

TEST_P(TagListErrors, SayWhereAndWhatIsAccepted) {
    const BadCase& c = GetParam();
    std::vector<ListedGate> listed;
    std::string error;
    EXPECT_FALSE(qel::session::ParseGateList({{1, "001DR0001"}, {7, c.line}}, "gates.txt", listed, error));
    EXPECT_EQ(error.rfind("gates.txt:7: ", 0), 0u) << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.line << "\n  gave: " << error;
}

INSTANTIATE_TEST_SUITE_P(Entries, TagListErrors, ::testing::ValuesIn(kBad), testsupport::CaseName<BadCase>);

TEST(TagListErrors, TwoTagsWithOneName) {
    std::vector<ListedGate> listed;
    std::string error;
    EXPECT_FALSE(qel::session::ParseGateList({{2, "001DR0010 tag=t type=int16"}, {5, "001DR0020 type=int32 tag=t"}},
                                             "gates.txt", listed, error));
    EXPECT_EQ(error.rfind("gates.txt:5: tag \"t\" is given twice", 0), 0u) << error;
}

}  // namespace
