#include "protocol/bill_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "protocol/codes.h"
#include "protocol/frame.h"

namespace notavero {
namespace {

TEST(BillTableCodec, WhatIsEncodedDecodesToTheSameEntries) {
  BillTable table{};
  table[0] = BillTableEntry{1, {'R', 'U', 'S'}, 1};
  table[9] = BillTableEntry{2, {'U', 'S', 'D'}, 2};
  table[23] = BillTableEntry{255, {'\x01', 'a', '\x7F'}, 255};
  const auto payload = EncodeBillTable(table);
  EXPECT_EQ(payload[9 * kBillTableEntrySize], 2);
  EXPECT_EQ(payload[9 * kBillTableEntrySize + 1], 'U');
  EXPECT_EQ(payload[9 * kBillTableEntrySize + 4], 2);

  std::array<uint8_t, kBillTableFrameLength> frame{kFrameSync, 0x03,
                                                   static_cast<uint8_t>(kBillTableFrameLength)};
  std::copy(payload.begin(), payload.end(), frame.begin() + 3);
  EXPECT_EQ(DecodeBillTable(frame.data()), table);
  EXPECT_EQ(table[9].Describe(), "200 USD");
  EXPECT_EQ(table[1].Describe(), "-");
}

}  // namespace
}  // namespace notavero
