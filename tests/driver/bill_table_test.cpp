#include "driver/bill_table.h"

#include <gtest/gtest.h>

#include <array>

#include "protocol/codes.h"

namespace notavero {
namespace {

// A bill table reply with the given entries (type, multiplier, country, exponent).
struct Entry {
  std::size_t type;
  uint8_t multiplier;
  const char* country;
  uint8_t exponent;
};

std::array<uint8_t, kBillTableFrameLength> Table(std::initializer_list<Entry> entries) {
  std::array<uint8_t, kBillTableFrameLength> frame{0x02, 0x03, 0x7D};
  for (const Entry& entry : entries) {
    uint8_t* bytes = frame.data() + 3 + entry.type * kBillTableEntrySize;
    bytes[0] = entry.multiplier;
    bytes[1] = static_cast<uint8_t>(entry.country[0]);
    bytes[2] = static_cast<uint8_t>(entry.country[1]);
    bytes[3] = static_cast<uint8_t>(entry.country[2]);
    bytes[4] = entry.exponent;
  }
  return frame;
}

// What the driver makes of a table reply.
BillValueTable Values(const std::array<uint8_t, kBillTableFrameLength>& frame) {
  return TableValues(DecodeBillTable(frame.data()));
}

std::array<uint8_t, kBillTableFrameLength> StandardTable() {
  return Table({{2, 1, "RUS", 1},
                {3, 5, "RUS", 1},
                {4, 1, "RUS", 2},
                {5, 5, "RUS", 2},
                {6, 1, "RUS", 3},
                {7, 5, "RUS", 3}});
}

TEST(DecodeBillTable, ValuesInTenThousandthsOfTheCurrency) {
  const auto values = Values(StandardTable());
  const BillValueTable expected = {0, 0, 100'000, 500'000, 1'000'000, 5'000'000, 10'000'000, 50'000'000};
  EXPECT_EQ(values, expected);
}

TEST(DecodeBillTable, OnlyTheExactCountryCodeCounts) {
  const auto values = Values(Table({{0, 1, "RUS", 2},
                                    {1, 1, "rus", 2},
                                    {2, 1, "USD", 2},
                                    {3, 1, "RUs", 2},
                                    {4, 1, "XUS", 2},
                                    {5, 1, "RXS", 2},
                                    {23, 5, "RUS", 0}}));
  EXPECT_EQ(values[0], 1'000'000);
  EXPECT_EQ(values[1], 0);
  EXPECT_EQ(values[2], 0);
  EXPECT_EQ(values[3], 0);
  EXPECT_EQ(values[4], 0) << "each letter of the code counts";
  EXPECT_EQ(values[5], 0);
  EXPECT_EQ(values[23], 50'000);
}

TEST(DecodeBillTable, ValuesThatDoNotFitAreNotInUse) {
  // 255 x 10^12 x 10^4 fits; 255 x 10^13 x 10^4 does not; neither does 10^255.
  const auto values =
      Values(Table({{0, 255, "RUS", 12}, {1, 255, "RUS", 13}, {2, 1, "RUS", 255}, {3, 0, "RUS", 255}}));
  EXPECT_EQ(values[0], 2'550'000'000'000'000'000LL);
  EXPECT_EQ(values[1], 0);
  EXPECT_EQ(values[2], 0);
  EXPECT_EQ(values[3], 0);
}

TEST(EnableMask, OnlyTheSixValuesAreEnabled) {
  EXPECT_EQ(EnableMask(Values(StandardTable())), 0xFCU);
  const auto params = EnableParameters(EnableMask(Values(StandardTable())));
  EXPECT_EQ(params, (std::array<uint8_t, 6>{0x00, 0x00, 0xFC, 0x00, 0x00, 0xFC}));

  BillValueTable odd{};
  odd[0] = 50'000;     // 5
  odd[1] = 2'000'000;  // 200
  odd[2] = 100'001;
  odd[23] = 50'000'000;  // 5000
  EXPECT_EQ(EnableMask(odd), 1U << 23);
  EXPECT_EQ(EnableMask(BillValueTable{}), 0U);
}

}  // namespace
}  // namespace notavero
