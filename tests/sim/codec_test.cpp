#include <gtest/gtest.h>

#include "codec.h"

namespace fasim::codec {

TEST(Codec, DigitsAreThirtyPlusNibble) {
  EXPECT_EQ(ByteField(0xF3), "?3");
  EXPECT_EQ(ByteField(0x1F3), "?3");
  EXPECT_EQ(WordFieldHigh(0xABCD), ":;<=");
  EXPECT_EQ(WordFieldLow(0xABCD), "<=:;");
  EXPECT_EQ(WordFieldLow(0x1234), "3412");
}

TEST(Codec, ParsingRejectsNonDigits) {
  EXPECT_EQ(ParseWordLow("<=:;"), 0xABCD);
  EXPECT_EQ(ParseWordHigh("1234"), 0x1234);
  EXPECT_EQ(ParseByte("?3"), 0xF3u);
  EXPECT_FALSE(ParseByte("A3").has_value());
  EXPECT_FALSE(ParseWordHigh("12 4").has_value());
}

TEST(Codec, DigitSumWraps) {
  EXPECT_EQ(DigitSum(""), 0);
  EXPECT_EQ(DigitSum("????"), 0x3C);
  EXPECT_EQ(DigitSum(std::string(20, '?')), (20 * 15) % 256);
}

}  // namespace fasim::codec
