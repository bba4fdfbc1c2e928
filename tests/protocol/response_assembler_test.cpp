#include "protocol/response_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/hex.h"
#include "protocol/frame.h"

namespace notavero {
namespace {

using Result = TResponseAssembler::Result;

// Feeds bytes; returns the result of the byte that completed a frame, or
// kIncomplete, and how many bytes it took.
std::pair<Result, std::size_t> FeedAll(TResponseAssembler& rx, const std::string& hex) {
  const auto bytes = ParseHexBytes(hex).value();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const Result result = rx.Feed(bytes[i]);
    if (result != Result::kIncomplete) {
      return {result, i + 1};
    }
  }
  return {Result::kIncomplete, bytes.size()};
}

std::string Assembled(const TResponseAssembler& rx) {
  return HexBytes(rx.RxBuffer.data(), static_cast<std::size_t>(rx.RxLength));
}

TEST(ResponseAssembler, GoodFramesAfterNoise) {
  TResponseAssembler rx;
  EXPECT_EQ(FeedAll(rx, "FF 00 13 02 03 07 80 02 9E 10"), std::make_pair(Result::kGood, std::size_t{10}));
  EXPECT_EQ(Assembled(rx), "02 03 07 80 02 9E 10");
  EXPECT_EQ(rx.RxState, 0);
  EXPECT_EQ(FeedAll(rx, "02 03 06 19 82 0F").first, Result::kGood);
  EXPECT_EQ(Assembled(rx), "02 03 06 19 82 0F");
}

TEST(ResponseAssembler, SyncValueInsideAFrameIsData) {
  // A frame whose payload and CRC hold 0x02 bytes.
  TxFrame frame{};
  const uint8_t payload[] = {0x02, 0x02};
  const std::size_t length = BuildFrame(frame, payload, 2);
  TResponseAssembler rx;
  Result last = Result::kIncomplete;
  for (std::size_t i = 0; i < length; ++i) {
    last = rx.Feed(frame[i]);
  }
  EXPECT_EQ(last, Result::kGood);
  EXPECT_EQ(rx.RxLength, static_cast<int32_t>(length));
}

TEST(ResponseAssembler, BadCrcCompletesTheFrame) {
  TResponseAssembler rx;
  EXPECT_EQ(FeedAll(rx, "02 03 06 19 0F 82"), std::make_pair(Result::kBadCrc, std::size_t{6}));
  EXPECT_EQ(rx.RxLength, 6);
}

TEST(ResponseAssembler, ShortLengthByteIsDroppedAndTheNextFrameFound) {
  for (const char* length : {"00", "01", "04"}) {
    TResponseAssembler rx;
    const std::string bytes = std::string("02 03 ") + length + " 02 03 06 19 82 0F";
    EXPECT_EQ(FeedAll(rx, bytes).first, Result::kGood) << length;
    EXPECT_EQ(Assembled(rx), "02 03 06 19 82 0F");
  }
}

TEST(ResponseAssembler, RestartAbandonsAFrameCutShort) {
  TResponseAssembler rx;
  EXPECT_EQ(FeedAll(rx, "02 03 07 80").first, Result::kIncomplete);
  rx.Restart();
  EXPECT_EQ(FeedAll(rx, "02 03 06 00 C2 82").first, Result::kGood);
  EXPECT_EQ(Assembled(rx), "02 03 06 00 C2 82");
}

TEST(ResponseAssembler, NeverStoresPastItsBuffer) {
  // Whatever the bytes, the length stays inside the buffer; frames up to the
  // largest length byte complete.
  TResponseAssembler rx;
  for (int round = 0; round < 50; ++round) {
    rx.Feed(0x02);
    rx.Feed(0x03);
    rx.Feed(0xFF);
    for (int i = 0; i < 300; ++i) {
      rx.Feed(static_cast<uint8_t>(i));
      ASSERT_LE(rx.RxLength, 255);
    }
  }
  // A stale length from before a restart cannot push the next store out.
  rx.RxLength = 5000;
  rx.RxState = 3;
  rx.Feed(0x00);
  EXPECT_LE(rx.RxLength, static_cast<int32_t>(TResponseAssembler::kBufferSize));
}

}  // namespace
}  // namespace notavero
