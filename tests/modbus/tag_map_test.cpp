// qelgate --map's tags beside their registers: the table and addresses of
// each tag's words, its type, order, scaling and unit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "modbus/tag_map.h"

namespace {

TEST(TagMap, EachTagBesideItsRegisters) {
    std::vector<qel::session::ListedGate> listed;
    std::string error;
    ASSERT_TRUE(qel::session::ParseGateList({{1, "001DR0010 tag=temp type=int16 scale=0.1 offset=-5 unit=\"deg C\""},
                                             {2, "001DR0020 tag=count type=uint32 order=lo-hi"},
                                             {3, "002IO0006 2 tag=doors"},
                                             {4, "001CP0003 tag=preset type=bcd16"},
                                             {5, "001DR0200"}},
                                            "gates.txt", listed, error))
        << error;
    const std::string text = qel::modbus::TagMapText(listed);
    const auto has = [&](const std::string& line) {
        EXPECT_NE(text.find(line + "\n"), std::string::npos) << "missing: " << line << "\nin:\n" << text;
    };
    has("temp                 1     holding registers  10           int16    -      x 0.1 - 5      deg C");
    has("count                1     holding registers  20-21        uint32   lo-hi  -");
    has("doors                2     coils              6-7          bool     -      -");
    has("preset               1     holding registers  10003        bcd16    -      -");
    EXPECT_EQ(text.find("DR0200"), std::string::npos);
    // A list without tags adds nothing to the map.
    listed.resize(0);
    ASSERT_TRUE(qel::session::ParseGateList({{1, "001DR0200 type=int16"}}, "gates.txt", listed, error));
    EXPECT_EQ(qel::modbus::TagMapText(listed), "");
}

}  // namespace
