// The device model against the frames and state flows a driver sees.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/hex.h"
#include "sim/device_model.h"
#include "tests/sim/model_helpers.h"

namespace notavero::sim {
namespace {

using test::Frame;
using test::ModelDriver;
using Bytes = std::vector<uint8_t>;

std::string Hex(const Bytes& bytes) {
  return HexBytes(bytes.data(), bytes.size());
}

// The states that a run of polls reports, each poll acknowledged.
std::vector<uint8_t> PollStates(ModelDriver& d, int polls) {
  std::vector<uint8_t> states;
  for (int i = 0; i < polls; ++i) {
    states.push_back(ModelDriver::StateOf(d.PollAck()));
  }
  return states;
}

TEST(ModelFrames, RepliesToEveryCommandAsTheDeviceDoes) {
  ModelDriver d;
  EXPECT_EQ(Hex(d.Send({cmdPoll})), "02 03 06 10 43 92");
  EXPECT_EQ(Hex(d.Send({cmdAck})), "");  // Ack itself is never answered
  EXPECT_EQ(Hex(d.Send({cmdReset})), "02 03 06 00 C2 82");
  EXPECT_EQ(Hex(d.Send({cmdSetSecurity, 0xFF, 0xFF, 0xFF})), "02 03 06 00 C2 82");
  EXPECT_EQ(Hex(d.Send({cmdEnableBillTypes, 0x00, 0x00, 0xFC, 0x00, 0x00, 0xFC})), "02 03 06 00 C2 82");
  EXPECT_EQ(Hex(d.Send({cmdStack})), "02 03 06 00 C2 82");
  EXPECT_EQ(Hex(d.Send({cmdReturn})), "02 03 06 00 C2 82");

  const Bytes status = d.Send({cmdGetStatus});
  ASSERT_EQ(status.size(), kStatusFrameLength);
  EXPECT_TRUE(FrameCrcGood(status.data(), status.size()));
  EXPECT_EQ(Hex(Bytes(status.begin() + 3, status.end() - 2)), "00 00 FC FF FF FF");

  const Bytes table = d.Send({cmdGetBillTable});
  ASSERT_EQ(table.size(), kBillTableFrameLength);
  EXPECT_EQ(table[2], 0x7D);
  EXPECT_TRUE(FrameCrcGood(table.data(), table.size()));
  EXPECT_EQ(Hex(Bytes(table.begin() + 3, table.begin() + 13)), "00 00 00 00 00 00 00 00 00 00");
  EXPECT_EQ(Hex(Bytes(table.begin() + 13, table.begin() + 43)),
            "01 52 55 53 01 05 52 55 53 01 01 52 55 53 02 05 52 55 53 02 01 52 55 53 03 05 52 55 53 03");
  EXPECT_EQ(Bytes(table.begin() + 43, table.end() - 2), Bytes(80, 0));  // types 8..23 empty
}

TEST(ModelFrames, BadCrcUnknownCommandAndWrongParameterCountChangeNothing) {
  ModelDriver d;
  Bytes reset = Frame({cmdReset});
  reset[4] ^= 0x01;
  EXPECT_TRUE(d.Send(reset).empty());
  EXPECT_TRUE(d.Send({0x99}).empty());
  EXPECT_TRUE(d.Send({cmdReset, 0x00}).empty());
  EXPECT_TRUE(d.Send({cmdEnableBillTypes, 0xFF, 0xFF, 0xFF}).empty());
  EXPECT_EQ(d.model.State(), dsPowerUp);
  EXPECT_EQ(d.model.EnabledMask(), 0U);
  EXPECT_EQ(d.model.FramesReceived(), 4U);
}

TEST(ModelFrames, AssemblesFramesAcrossCallsAndSkipsNoise) {
  ModelDriver d;
  Bytes bytes = {0xFF, 0x00, 0x02, 0x03, 0x02};  // noise, then a frame with an impossible length
  const Bytes poll = Frame({cmdPoll});
  bytes.insert(bytes.end(), poll.begin(), poll.end());
  bytes.insert(bytes.end(), poll.begin(), poll.end());
  Bytes out;
  for (const uint8_t byte : bytes) {  // one byte a call
    for (const auto& reply : d.model.Receive(&byte, 1, d.now)) {
      out.insert(out.end(), reply.bytes.begin(), reply.bytes.end());
    }
  }
  EXPECT_EQ(Hex(out), "02 03 06 10 43 92 02 03 06 10 43 92");
}

TEST(ModelFrames, DropsAFrameCutShortByAGap) {
  ModelDriver d;
  const Bytes poll = Frame({cmdPoll});
  d.model.Receive(poll.data(), 3, d.now);  // sync, address, length ... then nothing
  d.now += kFrameGap + std::chrono::milliseconds(1);
  const auto replies = d.model.Receive(poll.data(), poll.size(), d.now);
  ASSERT_EQ(replies.size(), 1U);
  EXPECT_EQ(Hex(replies[0].bytes), "02 03 06 10 43 92");
}

TEST(ModelFlow, PowerUpResetInitialiseDisabledEnable) {
  ModelDriver d;
  EXPECT_EQ(PollStates(d, 3), (std::vector<uint8_t>{0x10, 0x10, 0x10}));  // until Reset
  d.Send({cmdReset});
  EXPECT_EQ(PollStates(d, kInitPolls + 2), (std::vector<uint8_t>{0x13, 0x13, 0x13, 0x19, 0x19}));
  d.Send({cmdEnableBillTypes, 0x00, 0x00, 0xFC, 0x00, 0x00, 0xFC});
  EXPECT_EQ(d.model.EnabledMask(), 0xFCU);
  EXPECT_EQ(PollStates(d, 1), std::vector<uint8_t>{0x14});
  EXPECT_EQ(Hex(d.Send({cmdGetStatus})), Hex(Frame({0x00, 0x00, 0xFC, 0x00, 0x00, 0x00})));
  d.Send({cmdEnableBillTypes, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(PollStates(d, 1), std::vector<uint8_t>{0x19});
}

TEST(ModelFlow, EnableDuringInitialisationEndsInWaiting) {
  ModelDriver d;
  d.Send({cmdReset});
  d.Send({cmdEnableBillTypes, 0x00, 0x00, 0x04, 0x00, 0x00, 0x04});
  EXPECT_EQ(PollStates(d, kInitPolls + 1), (std::vector<uint8_t>{0x13, 0x13, 0x13, 0x14}));
}

TEST(ModelFlow, StartOptions) {
  ModelOptions with_bill;
  with_bill.power_up_state = dsPowerUpWithBill;
  ModelDriver a(with_bill);
  EXPECT_EQ(Hex(a.Send({cmdPoll})), Hex(Frame({0x11})));
  with_bill.power_up_state = dsPowerUpBillNoReturn;
  ModelDriver b(with_bill);
  EXPECT_EQ(ModelDriver::StateOf(b.Send({cmdPoll})), 0x12);
  ModelOptions disabled;
  disabled.start_disabled = true;
  ModelDriver c(disabled);
  EXPECT_EQ(ModelDriver::StateOf(c.Send({cmdPoll})), 0x19);
}

TEST(ModelFlow, BillStackedAndCounted) {
  ModelDriver d;
  d.ToWaiting();
  ASSERT_EQ(d.model.Insert(4, d.now), "");
  EXPECT_EQ(Hex(d.PollAck()), "02 03 06 15 EE C5");
  EXPECT_EQ(ModelDriver::StateOf(d.PollAck()), dsAccepting);
  // Escrow holds until a decision; the driver's Ack after each poll changes nothing.
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Hex(d.PollAck()), "02 03 07 80 04 A8 75");
  }
  EXPECT_EQ(Hex(d.Send({cmdStack})), "02 03 06 00 C2 82");
  EXPECT_EQ(PollStates(d, kStackPolls), (std::vector<uint8_t>{0x17, 0x17}));
  EXPECT_EQ(d.model.Counters().stacked, 1U);  // counted as the device reports stacked
  EXPECT_EQ(Hex(d.PollAck()), "02 03 07 81 04 70 6C");
  EXPECT_EQ(PollStates(d, 1), std::vector<uint8_t>{0x14});
  const auto& c = d.model.Counters();
  EXPECT_EQ(c.stacked, 1U);
  EXPECT_EQ(c.stacked_sum, 100U);
  EXPECT_EQ(c.stacked_by_type[4], 1U);
  EXPECT_EQ(c.returned, 0U);
}

TEST(ModelFlow, EventRepeatsUntilTheFrameAfterItsPollIsAnAck) {
  ModelDriver d;
  d.ToWaiting();
  d.model.Insert(7, d.now);
  while (ModelDriver::StateOf(d.PollAck()) != dsEscrow) {
  }
  d.Send({cmdReturn});
  EXPECT_EQ(PollStates(d, kReturnPolls), (std::vector<uint8_t>{0x18, 0x18}));
  // Polls without Ack (a lost Ack): the event stays.
  EXPECT_EQ(Hex(d.Send({cmdPoll})), Hex(Frame({0x82, 0x07})));
  EXPECT_EQ(Hex(d.Send({cmdPoll})), Hex(Frame({0x82, 0x07})));
  // Another frame between the poll and the Ack: the Ack does not count.
  d.Send({cmdGetStatus});
  d.Send({cmdAck});
  EXPECT_EQ(ModelDriver::StateOf(d.Send({cmdPoll})), dsReturned);
  d.Send({cmdAck});
  EXPECT_EQ(ModelDriver::StateOf(d.Send({cmdPoll})), dsWaitingForBill);
  EXPECT_EQ(d.model.Counters().returned, 1U);  // once, however often it was reported
  EXPECT_EQ(d.model.Counters().returned_sum, 5000U);
}

TEST(ModelFlow, BillOfATypeNotEnabledIsRejected) {
  ModelOptions options;
  options.table[8] = BillTableEntry{2, {'R', 'U', 'S'}, 2};  // 200: never enabled by the driver
  ModelDriver d(options);
  d.ToWaiting();
  ASSERT_EQ(d.model.Insert(8, d.now), "");
  EXPECT_EQ(PollStates(d, kAcceptPolls), (std::vector<uint8_t>{0x15, 0x15}));
  EXPECT_EQ(Hex(d.Send({cmdPoll})), Hex(Frame({dsBillError, kRejectNotEnabled})));
  d.Send({cmdAck});
  EXPECT_EQ(PollStates(d, 1), std::vector<uint8_t>{0x14});
  EXPECT_EQ(d.model.Counters().stacked + d.model.Counters().returned, 0U);
}

TEST(ModelFlow, EscrowWithoutDecisionReturnsTheBillAfterTenSeconds) {
  ModelDriver d;
  d.ToWaiting();
  d.model.Insert(2, d.now);
  while (ModelDriver::StateOf(d.PollAck()) != dsEscrow) {
  }
  ASSERT_TRUE(d.model.NextDeadline().has_value());
  d.now = *d.model.NextDeadline() - std::chrono::milliseconds(20);
  EXPECT_EQ(ModelDriver::StateOf(d.PollAck()), dsEscrow);  // just before the ten seconds
  d.now += std::chrono::milliseconds(20);
  EXPECT_EQ(PollStates(d, 3), (std::vector<uint8_t>{0x18, 0x18, 0x82}));
  EXPECT_EQ(d.model.Counters().returned_by_type[2], 1U);
  // A Stack that comes too late does nothing.
  d.Send({cmdStack});
  EXPECT_EQ(d.model.Counters().stacked, 0U);
}

TEST(ModelFlow, InsertIsRefusedUnlessWaiting) {
  ModelDriver d;
  EXPECT_NE(d.model.Insert(2, d.now), "");  // power up
  d.ToWaiting();
  EXPECT_NE(d.model.Insert(24, d.now), "");
  d.model.SetCondition(dsJamInPath, 0);
  EXPECT_NE(d.model.Insert(2, d.now), "");
  d.model.Clear();
  EXPECT_EQ(d.model.Insert(2, d.now), "");
  EXPECT_NE(d.model.Insert(3, d.now), "");  // a bill is already on its way
}

TEST(ModelFlow, ConditionsOverlayTheStateUntilCleared) {
  ModelDriver d;
  d.ToWaiting();
  d.model.Insert(3, d.now);
  d.PollAck();  // accepting, one poll left
  for (const auto& [state, sub] : std::vector<std::pair<uint8_t, uint8_t>>{{dsJamInPath, 0},
                                                                           {dsJamInCassette, 0},
                                                                           {dsCassetteMissing, 0},
                                                                           {dsAcceptorFull, 0},
                                                                           {dsFailure, 0x53}}) {
    d.model.SetCondition(state, sub);
    const Bytes expected = state == dsFailure ? Frame({state, sub}) : Frame({state});
    EXPECT_EQ(Hex(d.PollAck()), Hex(expected));
    EXPECT_EQ(Hex(d.PollAck()), Hex(expected));
  }
  d.model.Clear();
  // The bill carries on where it was.
  EXPECT_EQ(PollStates(d, 2), (std::vector<uint8_t>{0x15, 0x80}));
}

TEST(ModelFlow, BusyCountsDownAndEndsByItself) {
  ModelDriver d;
  d.ToWaiting();
  d.model.SetBusy(5, d.now);
  EXPECT_EQ(Hex(d.Send({cmdPoll})), Hex(Frame({dsBusy, 5})));  // 10 ms later: 490 ms left
  d.now += std::chrono::milliseconds(290);
  EXPECT_EQ(Hex(d.Send({cmdPoll})), Hex(Frame({dsBusy, 2})));
  ASSERT_TRUE(d.model.NextDeadline().has_value());
  d.now = *d.model.NextDeadline();
  EXPECT_EQ(ModelDriver::StateOf(d.PollAck()), dsWaitingForBill);
}

TEST(ModelFlow, PowerCycleAtAnyMomentStartsOver) {
  ModelDriver d;
  d.ToWaiting();
  d.model.Insert(5, d.now);
  while (ModelDriver::StateOf(d.PollAck()) != dsEscrow) {
  }
  d.model.SetCondition(dsAcceptorFull, 0);
  d.model.PowerCycle(dsPowerUp, d.now);
  EXPECT_EQ(Hex(d.PollAck()), "02 03 06 10 43 92");
  EXPECT_EQ(d.model.EnabledMask(), 0U);
  d.Send({cmdStack});  // the bill is gone: nothing to stack
  EXPECT_EQ(ModelDriver::StateOf(d.PollAck()), dsPowerUp);
  d.model.PowerCycle(dsPowerUpWithBill, d.now);
  EXPECT_EQ(ModelDriver::StateOf(d.PollAck()), dsPowerUpWithBill);
  d.ToWaiting();
  EXPECT_EQ(ModelDriver::StateOf(d.PollAck()), dsWaitingForBill);
}

TEST(ModelTrace, RecordsEveryFrameBothWays) {
  ModelDriver d;
  const auto start = d.now;
  d.Send({cmdPoll});
  d.Send({cmdAck});
  const auto& trace = d.model.Trace();
  ASSERT_EQ(trace.size(), 3U);
  EXPECT_EQ(trace[0].direction, Direction::kReceived);
  EXPECT_EQ(Hex(trace[0].bytes), "02 03 06 33 DA 81");
  EXPECT_EQ(trace[1].direction, Direction::kSent);
  EXPECT_EQ(Hex(trace[1].bytes), "02 03 06 10 43 92");
  EXPECT_EQ(Hex(trace[2].bytes), "02 03 06 00 C2 82");
  EXPECT_GT(trace[2].time, start);
  EXPECT_LT(trace[1].time, trace[2].time);
}

TEST(ModelTrace, KeepsOnlyTheNewestEntries) {
  ModelOptions options;
  options.trace_limit = 4;
  ModelDriver d(options);
  for (int i = 0; i < 10; ++i) {
    d.Send({cmdPoll});
  }
  d.Send({cmdReset});
  ASSERT_EQ(d.model.Trace().size(), 4U);
  EXPECT_EQ(Hex(d.model.Trace()[2].bytes), "02 03 06 30 41 B3");
}

}  // namespace
}  // namespace notavero::sim
