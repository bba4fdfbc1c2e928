// Each line fault on demand, shown by the bytes the device puts on the line.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/hex.h"
#include "sim/commands.h"
#include "tests/sim/model_helpers.h"

namespace notavero::sim {
namespace {

using test::Frame;
using test::ModelDriver;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

std::string Hex(const Bytes& bytes) {
  return HexBytes(bytes.data(), bytes.size());
}

Reply SendOne(ModelDriver& d, std::initializer_list<uint8_t> payload) {
  const Bytes frame = Frame(payload);
  d.now += milliseconds(10);
  auto replies = d.model.Receive(frame.data(), frame.size(), d.now);
  EXPECT_EQ(replies.size(), 1U);
  return replies.empty() ? Reply{} : replies[0];
}

Bytes Joined(const Reply& reply) {
  Bytes bytes;
  for (const auto& chunk : reply.chunks) {
    bytes.insert(bytes.end(), chunk.bytes.begin(), chunk.bytes.end());
  }
  return bytes;
}

TEST(Faults, SilentIgnoresTheNextFramesEntirely) {
  ModelDriver d;
  d.model.Silent(2);
  EXPECT_TRUE(SendOne(d, {cmdPoll}).chunks.empty());
  EXPECT_TRUE(SendOne(d, {cmdReset}).chunks.empty());  // not heard: still power up
  EXPECT_EQ(Hex(d.Send({cmdPoll})), "02 03 06 10 43 92");
  EXPECT_EQ(d.model.FramesReceived(), 3U);
}

TEST(Faults, BadCrcSpoilsTheNextRepliesOnly) {
  ModelDriver d;
  d.model.BadCrc(2);
  EXPECT_EQ(Hex(d.Send({cmdPoll})), "02 03 06 10 BC 92");
  EXPECT_EQ(Hex(d.Send({cmdReset})), "02 03 06 00 3D 82");
  EXPECT_EQ(Hex(d.Send({cmdPoll})), "02 03 06 13 D8 A0");  // the reset was carried out
}

TEST(Faults, GarbageGoesBeforeTheReplyAndNeverHoldsASyncByte) {
  ModelDriver d;
  d.model.Garbage(300);
  const Bytes reply = d.Send({cmdPoll});
  ASSERT_EQ(reply.size(), 306U);
  for (std::size_t i = 0; i < 300; ++i) {
    ASSERT_NE(reply[i], kFrameSync) << "at " << i;
  }
  EXPECT_EQ(Hex(Bytes(reply.begin() + 300, reply.end())), "02 03 06 10 43 92");
  EXPECT_EQ(Hex(d.Send({cmdPoll})), "02 03 06 10 43 92");
}

TEST(Faults, SplitSendsPiecesWithPauses) {
  ModelDriver d;
  d.model.Split(3, milliseconds(40));
  const Reply reply = SendOne(d, {cmdPoll});
  ASSERT_EQ(reply.chunks.size(), 3U);
  EXPECT_EQ(Hex(reply.chunks[0].bytes), "02 03");
  EXPECT_EQ(Hex(reply.chunks[1].bytes), "06 10");
  EXPECT_EQ(Hex(reply.chunks[2].bytes), "43 92");
  EXPECT_EQ(reply.chunks[0].pause, milliseconds(0));
  EXPECT_EQ(reply.chunks[1].pause, milliseconds(40));
  EXPECT_EQ(reply.chunks[2].pause, milliseconds(40));
  EXPECT_EQ(SendOne(d, {cmdPoll}).chunks.size(), 1U);
}

TEST(Faults, SplitIntoMorePiecesThanBytesSendsOneByteAPiece) {
  ModelDriver d;
  d.model.Split(200, milliseconds(1));
  const Reply reply = SendOne(d, {cmdPoll});
  EXPECT_EQ(reply.chunks.size(), 6U);
  EXPECT_EQ(Hex(Joined(reply)), "02 03 06 10 43 92");
}

TEST(Faults, DelayHoldsBackTheNextRepliesEvenForNearlyTwoSeconds) {
  ModelDriver d;
  d.model.Delay(milliseconds(1990), 2);
  for (int i = 0; i < 2; ++i) {
    const Reply reply = SendOne(d, {cmdPoll});
    ASSERT_EQ(reply.chunks.size(), 1U);
    EXPECT_EQ(reply.chunks[0].pause, milliseconds(1990));
    EXPECT_EQ(Hex(reply.chunks[0].bytes), "02 03 06 10 43 92");
  }
  EXPECT_EQ(SendOne(d, {cmdPoll}).chunks[0].pause, milliseconds(0));
}

TEST(Faults, BadLengthBelowMinimumOrAboveWhatTheFrameCarries) {
  ModelDriver d;
  d.model.BadLength(true);
  Bytes reply = d.Send({cmdPoll});
  ASSERT_EQ(reply.size(), 6U);
  EXPECT_EQ(reply[2], 3);
  EXPECT_TRUE(FrameCrcGood(reply.data(), reply.size()));  // only the length is wrong
  d.model.BadLength(false);
  reply = d.Send({cmdGetBillTable});
  ASSERT_EQ(reply.size(), 125U);
  EXPECT_EQ(reply[2], 129);
  EXPECT_EQ(Hex(d.Send({cmdPoll})), "02 03 06 10 43 92");
}

TEST(Faults, FaultsCombineAndClearEndsThemAll) {
  ModelDriver d;
  d.model.Garbage(2);
  d.model.BadCrc(1);
  d.model.Split(2, milliseconds(5));
  const Reply reply = SendOne(d, {cmdPoll});
  ASSERT_EQ(reply.chunks.size(), 2U);
  const Bytes bytes = Joined(reply);
  ASSERT_EQ(bytes.size(), 8U);
  EXPECT_EQ(Hex(Bytes(bytes.begin() + 2, bytes.end())), "02 03 06 10 BC 92");

  d.model.Silent(5);
  d.model.BadCrc(5);
  d.model.Garbage(5);
  d.model.Delay(milliseconds(100), 5);
  d.model.BadLength(true);
  d.model.SetCondition(dsFailure, 0x50);
  d.model.Clear();
  const Reply clean = SendOne(d, {cmdPoll});
  ASSERT_EQ(clean.chunks.size(), 1U);
  EXPECT_EQ(clean.chunks[0].pause, milliseconds(0));
  EXPECT_EQ(Hex(clean.bytes), "02 03 06 10 43 92");
}

TEST(Faults, CommandsSetTheFaultsTheirNamesSay) {
  ModelDriver d;
  const auto run = [&](std::string_view line) { return RunDeviceCommand(d.model, line, d.now); };
  EXPECT_TRUE(run("silent 1").ok);
  EXPECT_TRUE(d.Send({cmdPoll}).empty());
  EXPECT_TRUE(run("bad-crc 1").ok);
  EXPECT_FALSE(FrameCrcGood(d.Send({cmdPoll}).data(), 6));
  EXPECT_TRUE(run("garbage 3").ok);
  EXPECT_EQ(d.Send({cmdPoll}).size(), 9U);
  EXPECT_TRUE(run("split").ok);
  EXPECT_EQ(SendOne(d, {cmdPoll}).chunks.size(), 3U);
  EXPECT_TRUE(run("split 2 10").ok);
  EXPECT_EQ(SendOne(d, {cmdPoll}).chunks[1].pause, milliseconds(10));
  EXPECT_TRUE(run("delay 1500").ok);
  EXPECT_EQ(SendOne(d, {cmdPoll}).chunks[0].pause, milliseconds(1500));
  EXPECT_TRUE(run("bad-length").ok);
  EXPECT_EQ(d.Send({cmdPoll})[2], 3);
  EXPECT_TRUE(run("bad-length long").ok);
  EXPECT_EQ(d.Send({cmdPoll})[2], 10);
  EXPECT_TRUE(run("jam").ok);
  EXPECT_EQ(Hex(d.Send({cmdPoll})), Hex(Frame({dsJamInPath})));
  EXPECT_TRUE(run("jam cassette").ok);
  EXPECT_EQ(Hex(d.Send({cmdPoll})), Hex(Frame({dsJamInCassette})));
  EXPECT_TRUE(run("cassette-missing").ok);
  EXPECT_EQ(Hex(d.Send({cmdPoll})), Hex(Frame({dsCassetteMissing})));
  EXPECT_TRUE(run("full").ok);
  EXPECT_EQ(Hex(d.Send({cmdPoll})), Hex(Frame({dsAcceptorFull})));
  EXPECT_TRUE(run("failure 5F").ok);
  EXPECT_EQ(Hex(d.Send({cmdPoll})), Hex(Frame({dsFailure, 0x5F})));
  EXPECT_TRUE(run("busy 255").ok);
  EXPECT_EQ(Hex(d.Send({cmdPoll})), Hex(Frame({dsBusy, 255})));
  EXPECT_TRUE(run("clear").ok);
  EXPECT_EQ(Hex(d.Send({cmdPoll})), "02 03 06 10 43 92");
  d.ToWaiting();
  EXPECT_TRUE(run("power-cycle 12").ok);
  EXPECT_EQ(Hex(d.Send({cmdPoll})), Hex(Frame({dsPowerUpBillNoReturn})));
}

}  // namespace
}  // namespace notavero::sim
