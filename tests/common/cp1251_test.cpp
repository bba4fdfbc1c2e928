#include "common/cp1251.h"

#include <gtest/gtest.h>

#include <string>

#include "common/hex.h"

namespace notavero {
namespace {

std::string Bytes(std::string_view text) {
  return HexBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

TEST(Cp1251, CompileTimeEncodingGivesTheCodePageBytes) {
  static constexpr auto kDisabled = Cp1251(u8"Выключен");
  EXPECT_EQ(Bytes(kDisabled), "C2 FB EA EB FE F7 E5 ED");
  static constexpr auto kMixed = Cp1251(u8"Ошибка 1C");
  EXPECT_EQ(Bytes(kMixed), "CE F8 E8 E1 EA E0 20 31 43");
  static constexpr auto kYo = Cp1251(u8"Ёё№");
  EXPECT_EQ(Bytes(kYo), "A8 B8 B9");
  static_assert(Cp1251(u8"").size() == 0);
}

TEST(Cp1251, WholeAlphabetEncodesToTheUpperHalf) {
  static constexpr auto kAlphabet =
      Cp1251(u8"АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюя");
  ASSERT_EQ(kAlphabet.size(), 64U);
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    EXPECT_EQ(static_cast<uint8_t>(kAlphabet.view()[i]), 0xC0 + i);
  }
}

TEST(Cp1251, EveryAssignedByteSurvivesTheRoundTripThroughUtf8) {
  for (int byte = 0; byte < 256; ++byte) {
    if (byte == 0x98) {
      continue;  // the one byte with no character
    }
    const std::string one(1, static_cast<char>(byte));
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(one)), one) << "byte " << byte;
  }
}

TEST(Cp1251, DecodesToUtf8) {
  EXPECT_EQ(Cp1251ToUtf8("\xC2\xFB\xEA\xEB\xFE\xF7\xE5\xED"), "Выключен");
  EXPECT_EQ(Cp1251ToUtf8("\x80\x88\xB9"), "Ђ€№");
  EXPECT_EQ(Cp1251ToUtf8("\x98"), "\xEF\xBF\xBD");  // U+FFFD
  EXPECT_EQ(Cp1251ToUtf8("abc"), "abc");
}

TEST(Cp1251, RunTimeEncodingReplacesWhatTheCodePageCannotHold) {
  EXPECT_EQ(Utf8ToCp1251("Выключен"), "\xC2\xFB\xEA\xEB\xFE\xF7\xE5\xED");
  EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xAD"
                         "b"),
            "a?b");  // a CJK character
  EXPECT_EQ(Utf8ToCp1251("a\xFF"
                         "b"),
            "a?b");                        // not UTF-8 at all
  EXPECT_EQ(Utf8ToCp1251("a\xD0"), "a?");  // cut short
}

}  // namespace
}  // namespace notavero
