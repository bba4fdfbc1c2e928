#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/hex.h"
#include "protocol/codes.h"

namespace notavero {
namespace {

std::vector<uint8_t> Hex(const std::string& text) {
  return ParseHexBytes(text).value();
}

std::string Frame(std::vector<uint8_t> payload) {
  TxFrame frame{};
  frame.fill(0xEE);
  const std::size_t length = BuildFrame(frame, payload.data(), payload.size());
  EXPECT_EQ(length, frame[2]);
  EXPECT_EQ(frame[length], 0xEE) << "BuildFrame wrote past the frame";
  return HexBytes(frame.data(), length);
}

TEST(Crc16, CheckValueAndEmptyBuffer) {
  const std::string digits = "123456789";
  EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0x2189);
  EXPECT_EQ(Crc16(nullptr, 0), 0);
  static_assert(Crc16(nullptr, 0) == 0);
}

TEST(BuildFrame, EveryCommandFrameOfTheDriver) {
  EXPECT_EQ(Frame({cmdAck}), "02 03 06 00 C2 82");
  EXPECT_EQ(Frame({cmdReset}), "02 03 06 30 41 B3");
  EXPECT_EQ(Frame({cmdGetStatus}), "02 03 06 31 C8 A2");
  EXPECT_EQ(Frame({cmdSetSecurity, 0xFF, 0xFF, 0xFF}), "02 03 09 32 FF FF FF 6D 29");
  EXPECT_EQ(Frame({cmdPoll}), "02 03 06 33 DA 81");
  EXPECT_EQ(Frame({cmdEnableBillTypes, 0, 0, 0, 0, 0, 0}), "02 03 0C 34 00 00 00 00 00 00 17 0C");
  EXPECT_EQ(Frame({cmdEnableBillTypes, 0x00, 0x00, 0xFC, 0x00, 0x00, 0xFC}),
            "02 03 0C 34 00 00 FC 00 00 FC EB D1");
  EXPECT_EQ(Frame({cmdStack}), "02 03 06 35 EC E4");
  EXPECT_EQ(Frame({cmdReturn}), "02 03 06 36 77 D6");
  EXPECT_EQ(Frame({cmdGetBillTable}), "02 03 06 41 4F D1");
}

TEST(BuildFrame, EnableParametersLayTheMaskOutTwice) {
  const auto params = EnableParameters(0xFCU);  // bill types 2 to 7
  EXPECT_EQ(HexBytes(params.data(), params.size()), "00 00 FC 00 00 FC");
  const auto high = EnableParameters(0xA1B2C3U);
  EXPECT_EQ(HexBytes(high.data(), high.size()), "A1 B2 C3 A1 B2 C3");
}

TEST(BuildFrame, SyncValueInsidePayloadPassesUnchanged) {
  std::vector<uint8_t> payload = {0x02, 0x02, 0x02};
  TxFrame frame{};
  const std::size_t length = BuildFrame(frame, payload.data(), payload.size());
  EXPECT_EQ(frame[3], 0x02);
  EXPECT_EQ(frame[4], 0x02);
  EXPECT_EQ(frame[5], 0x02);
  EXPECT_TRUE(FrameCrcGood(frame.data(), length));
}

TEST(BuildFrame, PayloadLengthLimits) {
  TxFrame frame{};
  std::vector<uint8_t> payload(kMaxPayload + 1, 0x55);
  EXPECT_THROW(BuildFrame(frame, payload.data(), 0), std::out_of_range);
  EXPECT_THROW(BuildFrame(frame, payload.data(), kMaxPayload + 1), std::out_of_range);
  EXPECT_EQ(BuildFrame(frame, payload.data(), kMaxPayload), kMaxFrameLength);
  EXPECT_EQ(frame[2], 0xFF);
  EXPECT_TRUE(FrameCrcGood(frame.data(), kMaxFrameLength));
}

class GoodResponse : public ::testing::TestWithParam<std::string> {};

TEST_P(GoodResponse, PassesTheCheck) {
  const auto frame = Hex(GetParam());
  EXPECT_TRUE(FrameCrcGood(frame.data(), frame.size()));
}

TEST_P(GoodResponse, AnyChangedByteOtherThanTheLengthFailsTheCheck) {
  const auto good = Hex(GetParam());
  for (std::size_t i = 0; i < good.size(); ++i) {
    if (i == 2) {
      continue;  // the length byte is covered too, but the assembler delimits by it
    }
    for (int delta = 1; delta < 256; ++delta) {
      auto bad = good;
      bad[i] = static_cast<uint8_t>(bad[i] + delta);
      EXPECT_FALSE(FrameCrcGood(bad.data(), bad.size())) << "byte " << i << " changed by " << delta;
    }
  }
}

TEST_P(GoodResponse, SwappedCrcBytesFailTheCheck) {
  auto frame = Hex(GetParam());
  std::swap(frame[frame.size() - 1], frame[frame.size() - 2]);
  EXPECT_FALSE(FrameCrcGood(frame.data(), frame.size()));
}

INSTANTIATE_TEST_SUITE_P(Frames, GoodResponse,
                         ::testing::Values("02 03 06 00 C2 82", "02 03 06 19 82 0F", "02 03 07 80 02 9E 10"));

TEST(FrameCrcGood, FramesShorterThanTheMinimumAreNeverGood) {
  const std::vector<uint8_t> bytes = {0x00, 0x00, 0x00, 0x00};
  for (std::size_t length = 0; length < kMinFrameLength; ++length) {
    EXPECT_FALSE(FrameCrcGood(bytes.data(), length)) << length;
  }
}

}  // namespace
}  // namespace notavero
