#include "common/hex.h"

#include <gtest/gtest.h>

namespace notavero {
namespace {

TEST(HexBytes, TwoUpperCaseDigitsSeparatedBySpaces) {
  const uint8_t bytes[] = {0x02, 0x0A, 0xFF, 0x00};
  EXPECT_EQ(HexBytes(bytes, 4), "02 0A FF 00");
  EXPECT_EQ(HexBytes(bytes, 0), "");
}

TEST(ParseHexBytes, AcceptsSpacedPackedAndPrefixedGroups) {
  EXPECT_EQ(ParseHexBytes("02 03 06 33 DA 81"), (std::vector<uint8_t>{2, 3, 6, 0x33, 0xDA, 0x81}));
  EXPECT_EQ(ParseHexBytes("020306"), (std::vector<uint8_t>{2, 3, 6}));
  EXPECT_EQ(ParseHexBytes("0xff 0Xa0 c2"), (std::vector<uint8_t>{0xFF, 0xA0, 0xC2}));
  EXPECT_EQ(ParseHexBytes("  "), std::vector<uint8_t>{});
}

TEST(ParseHexBytes, RejectsOddGroupsAndNonHex) {
  EXPECT_FALSE(ParseHexBytes("023").has_value());
  EXPECT_FALSE(ParseHexBytes("02 g3").has_value());
  EXPECT_FALSE(ParseHexBytes("0x").has_value());
  EXPECT_FALSE(ParseHexBytes("-1").has_value());
}

}  // namespace
}  // namespace notavero
