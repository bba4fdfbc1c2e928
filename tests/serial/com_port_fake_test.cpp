// TComPort on the scripted device: the rings' edge cases, the exceptions, the
// setters and the threads' stop, all driven deterministically.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "common/cp1251.h"
#include "serial/com_port.h"
#include "serial/fake_device.h"
#include "tests/serial/port_test_util.h"

namespace notavero {
namespace {

using test::Pattern;
using test::RecordingPort;
using Reads = std::vector<FakeLine::ReadCall>;

class FakePortTest : public ::testing::Test {
 protected:
  std::unique_ptr<RecordingPort> MakePort(bool drain = false) {
    return std::make_unique<RecordingPort>(3, std::make_unique<FakeDevice>(line), drain);
  }
  // Feeds `count` bytes and takes them all out again, which leaves both
  // input indices at count % 8192 on an empty ring.
  void MoveInputIndices(RecordingPort& port, std::size_t count) {
    const auto bytes = Pattern(count, 7);
    line->Receive(bytes);
    ASSERT_TRUE(port.WaitTotal(count));
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_EQ(port.ReadByte(), bytes[i]) << i;
    }
  }
  // The writer moves the output tail after the device has taken a write.
  static void WaitDrained(RecordingPort& port) {
    ASSERT_TRUE(test::Eventually([&] { return port.Status().out_pending == 0; }));
  }
  Reads ReadsSince(std::size_t first) {
    auto all = line->Reads();
    return Reads(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());
  }

  std::shared_ptr<FakeLine> line = std::make_shared<FakeLine>();
};

// ---- construction, opening and the exceptions

TEST(ComPortClosed, PortZeroOpensNothingAndRefusesTheRingOperations) {
  TComPort port(0);
  EXPECT_FALSE(port.IsOpen());
  port.SetBaudRate(9600);
  port.SetParity(0);
  port.SetByteSize(8);
  port.SetStopBits(1);
  EXPECT_EQ(port.BaudRate(), 9600u);
  const uint8_t byte = 1;
  try {
    port.ReadByte();
    FAIL() << "ReadByte on a closed port";
  } catch (const EPortNotOpen& e) {
    EXPECT_STREQ(e.what(), "Port COM0 not open");
  }
  EXPECT_THROW(port.PutBlock(&byte, 1), EPortNotOpen);
  EXPECT_THROW(port.PutBlock(&byte, 0), EPortNotOpen);
  EXPECT_THROW(port.Purge(), EPortNotOpen);
}

TEST_F(FakePortTest, OpenFailuresRaiseTheirMessageAndReleaseTheDevice) {
  line->refuse_open = true;
  try {
    MakePort();
    FAIL() << "open did not fail";
  } catch (const EOpenPortFail& e) {
    EXPECT_EQ(std::string(e.what()), Cp1251(u8"Невозможно открыть COM3 (refused by the script)").str());
  }
  line = std::make_shared<FakeLine>();
  line->refuse_open = true;
  line->open_error.clear();  // a device that cannot tell why
  try {
    MakePort();
    FAIL() << "open did not fail";
  } catch (const EOpenPortFail& e) {
    EXPECT_EQ(std::string(e.what()), Cp1251(u8"Невозможно открыть COM3").str());
  }

  line = std::make_shared<FakeLine>();
  line->refuse_queues = true;
  try {
    MakePort();
    FAIL() << "queue sizes were not refused";
  } catch (const ENotSupported& e) {
    EXPECT_STREQ(e.what(), "Setup parameter not supported for COM3");
  }
  EXPECT_TRUE(line->Closed());

  line = std::make_shared<FakeLine>();
  line->refuse_settings = true;
  try {
    MakePort();
    FAIL() << "line settings were not refused";
  } catch (const ENotSupported& e) {
    EXPECT_STREQ(e.what(), "Parameter not supported for COM3");
  }
  EXPECT_TRUE(line->Closed());
}

TEST_F(FakePortTest, OpenAppliesTheDefaultsWithRtsControlDisabled) {
  auto port = MakePort();
  EXPECT_TRUE(port->IsOpen());
  EXPECT_EQ(line->PortOpened(), 3);
  const auto written = line->SettingsWritten();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].baud_rate, 5760u);
  EXPECT_EQ(written[0].byte_size, 8);
  EXPECT_EQ(written[0].parity, 0);
  EXPECT_EQ(written[0].stop_bits, kOneStopBit);
  EXPECT_EQ(written[0].flags, 0xFFFF3FFFu & 0xCFFFu);  // RTS control and the upper half cleared
  EXPECT_EQ(line->Masks(), std::vector<uint32_t>{0x21FD});
  EXPECT_EQ(port->Status().port_name, "COM3");
  EXPECT_EQ(port->Status().out_ring_size, 4096);
}

TEST_F(FakePortTest, SettersChangeOneSettingAndMapStopBits) {
  auto port = MakePort();
  port->SetBaudRate(9600);
  port->SetParity(2);
  port->SetByteSize(7);
  auto now = line->SettingsWritten().back();
  EXPECT_EQ(now.baud_rate, 9600u);
  EXPECT_EQ(now.parity, 2);
  EXPECT_EQ(now.byte_size, 7);

  port->SetStopBits(0);
  EXPECT_EQ(line->SettingsWritten().back().stop_bits, kOneStopBit);
  EXPECT_EQ(port->StopBits(), 0);
  port->SetStopBits(7);
  EXPECT_EQ(line->SettingsWritten().back().stop_bits, kTwoStopBits);
  EXPECT_EQ(port->StopBits(), 7);

  // The "leave as is" values change nothing on the device.
  const LineSettings before = line->SettingsWritten().back();
  port->SetParity(5);
  port->SetByteSize(9);
  port->SetBaudRate(0);
  for (const auto& s : {line->SettingsWritten().back()}) {
    EXPECT_EQ(s.baud_rate, before.baud_rate);
    EXPECT_EQ(s.parity, before.parity);
    EXPECT_EQ(s.byte_size, before.byte_size);
    EXPECT_EQ(s.stop_bits, before.stop_bits);
    EXPECT_EQ(s.flags & 0x3000u, 0u);
  }
}

TEST_F(FakePortTest, RefusedSetterKeepsThePortUsable) {
  auto port = MakePort();
  line->refuse_settings = true;
  EXPECT_THROW(port->SetParity(2), ENotSupported);
  EXPECT_EQ(port->Parity(), 2);
  EXPECT_EQ(line->settings.parity, 0);
  EXPECT_TRUE(port->IsOpen());
  const auto out = Pattern(10, 1);
  port->PutBlock(out.data(), 10);
  ASSERT_TRUE(line->WaitWritten(10));
  EXPECT_EQ(line->Written(), out);
}

// ---- the input ring

TEST_F(FakePortTest, InputWrapsInTwoPieces) {
  auto port = MakePort();
  MoveInputIndices(*port, 8000);
  EXPECT_EQ(port->Status().in_head, 8000);
  EXPECT_EQ(port->Status().in_tail, 8000);

  const std::size_t first_read = line->Reads().size();
  const auto bytes = Pattern(500, 2);
  line->Receive(bytes);
  ASSERT_TRUE(port->WaitTotal(8500));
  EXPECT_EQ(port->Counts().back(), 500u);
  EXPECT_EQ(ReadsSince(first_read), (Reads{{192, 192}, {308, 308}}));
  const PortStatus s = port->Status();
  EXPECT_EQ(s.in_head, 308);
  EXPECT_EQ(s.in_count, 500u);
  EXPECT_FALSE(s.in_overflow);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    ASSERT_EQ(port->ReadByte(), bytes[i]) << i;
  }
  EXPECT_EQ(port->Status().in_tail, 308);
}

TEST_F(FakePortTest, OverflowLeavesTheRestInTheDeviceAndAFullRingReadsNothing) {
  auto port = MakePort();
  const auto first = Pattern(8000, 3);
  line->Receive(first);
  ASSERT_TRUE(port->WaitTotal(8000));
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(port->ReadByte(), first[i]);
  }
  const std::size_t first_read = line->Reads().size();
  const auto second = Pattern(500, 4);
  line->Receive(second);
  ASSERT_TRUE(port->WaitTotal(8392));
  EXPECT_EQ(port->Counts().back(), 392u);
  EXPECT_EQ(ReadsSince(first_read), (Reads{{192, 192}, {200, 200}}));
  PortStatus s = port->Status();
  EXPECT_EQ(s.in_head, 200);
  EXPECT_EQ(s.in_tail, 200);
  EXPECT_TRUE(s.in_full);
  EXPECT_TRUE(s.in_overflow);
  EXPECT_EQ(s.in_count, 8192u);
  EXPECT_EQ(line->InputLeft(), 108u);

  // A full ring: an arrival reads nothing and calls nobody.
  const std::size_t calls = port->Counts().size();
  const std::size_t reads = line->Reads().size();
  line->RaiseEvent(kEvRxChar);
  ASSERT_TRUE(line->WaitIdle());
  EXPECT_EQ(port->Counts().size(), calls);
  EXPECT_EQ(line->Reads().size(), reads);

  // Reading one byte of a full ring takes it from the tail and clears InFull.
  EXPECT_EQ(port->ReadByte(), first[200]);
  s = port->Status();
  EXPECT_FALSE(s.in_full);
  EXPECT_EQ(s.in_count, 8191u);

  // The next arrival fills the one free byte and leaves the rest waiting.
  line->RaiseEvent(kEvRxChar);
  ASSERT_TRUE(port->WaitCalls(calls + 1));
  EXPECT_EQ(port->Counts().back(), 1u);
  EXPECT_EQ(line->Reads().back(), (FakeLine::ReadCall{1, 1}));
  EXPECT_EQ(line->InputLeft(), 107u);

  // What the ring holds comes out in arrival order.
  for (std::size_t i = 201; i < first.size(); ++i) {
    ASSERT_EQ(port->ReadByte(), first[i]) << i;
  }
  for (std::size_t i = 0; i < 393; ++i) {
    ASSERT_EQ(port->ReadByte(), second[i]) << i;
  }
  EXPECT_THROW(port->ReadByte(), EBufferIsEmpty);
}

TEST_F(FakePortTest, ShortReadsAndStarvedReads) {
  auto port = MakePort();
  line->StarveReads(true);
  line->Receive(Pattern(10, 5));
  ASSERT_TRUE(port->WaitCalls(1));
  EXPECT_EQ(port->Counts(), std::vector<uint32_t>{0});  // bytes reported, none read: still called
  EXPECT_EQ(port->Status().in_count, 0u);

  line->StarveReads(false);
  line->LimitReads(4);
  line->RaiseEvent(kEvRxChar);
  ASSERT_TRUE(port->WaitCalls(2));
  EXPECT_EQ(port->Counts().back(), 4u);  // a short first piece ends the fill
  EXPECT_EQ(line->InputLeft(), 6u);
}

TEST_F(FakePortTest, ReadByteAtTheLastIndexWrapsTheTail) {
  auto port = MakePort();
  MoveInputIndices(*port, 8191);
  const auto bytes = Pattern(2, 6);
  line->Receive(bytes);
  ASSERT_TRUE(port->WaitTotal(8193));
  EXPECT_EQ(port->ReadByte(), bytes[0]);
  EXPECT_EQ(port->Status().in_tail, 0);
  EXPECT_EQ(port->ReadByte(), bytes[1]);
}

TEST_F(FakePortTest, EmptyRingRaisesAndChangesNothing) {
  auto port = MakePort();
  const PortStatus before = port->Status();
  try {
    port->ReadByte();
    FAIL() << "ReadByte on an empty ring";
  } catch (const EBufferIsEmpty& e) {
    EXPECT_STREQ(e.what(), "Buffer is empty for port COM3");
  }
  const PortStatus after = port->Status();
  EXPECT_EQ(after.in_head, before.in_head);
  EXPECT_EQ(after.in_tail, before.in_tail);
  EXPECT_EQ(after.in_full, before.in_full);
}

TEST_F(FakePortTest, DrainingInsideDataReceivedTakesEveryByte) {
  auto port = MakePort(/*drain=*/true);
  const auto bytes = Pattern(20000, 8);  // more than two rings' worth, in chunks
  for (std::size_t i = 0; i < bytes.size(); i += 1000) {
    line->Receive(std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(i),
                                       bytes.begin() + static_cast<std::ptrdiff_t>(i + 1000)));
  }
  ASSERT_TRUE(port->WaitBytes(bytes.size()));
  EXPECT_EQ(port->Bytes(), bytes);
}

TEST_F(FakePortTest, PurgeEmptiesTheInputAndKeepsTheOutput) {
  auto port = MakePort();
  line->Receive(Pattern(50, 9));
  ASSERT_TRUE(port->WaitTotal(50));
  line->HoldWrites(true);
  const auto out = Pattern(10, 10);
  port->PutBlock(out.data(), 10);
  ASSERT_TRUE(line->WaitWriteHeld());
  port->Purge();
  EXPECT_EQ(line->Purges(), 1);
  EXPECT_EQ(port->Status().in_count, 0u);
  EXPECT_FALSE(port->Status().in_full);
  EXPECT_THROW(port->ReadByte(), EBufferIsEmpty);
  EXPECT_EQ(port->Status().out_pending, 10u);
  line->HoldWrites(false);
  ASSERT_TRUE(line->WaitWritten(10));
  EXPECT_EQ(line->Written(), out);
}

// ---- the output ring

TEST_F(FakePortTest, OutputWrapsInTwoWrites) {
  auto port = MakePort();
  const auto first = Pattern(4000, 11);
  port->PutBlock(first.data(), 4000);
  ASSERT_TRUE(line->WaitWritten(4000));
  WaitDrained(*port);
  const auto second = Pattern(200, 12);
  port->PutBlock(second.data(), 200);
  EXPECT_EQ(port->Status().out_head, 104);
  ASSERT_TRUE(line->WaitWritten(4200));
  EXPECT_EQ(line->WriteSizes(), (std::vector<uint32_t>{4000, 96, 104}));
  auto expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(line->Written(), expected);
}

TEST_F(FakePortTest, BlockOfExactlyTheFreeRoomFillsTheRingAndOneMoreIsRefused) {
  auto port = MakePort();
  const auto a = Pattern(1000, 13);
  port->PutBlock(a.data(), 1000);
  ASSERT_TRUE(line->WaitWritten(1000));
  WaitDrained(*port);

  line->HoldWrites(true);
  const uint8_t one = 0x55;
  port->PutBlock(&one, 1);
  ASSERT_TRUE(line->WaitWriteHeld());  // the writer holds the one byte pending
  const auto b = Pattern(4095, 14);
  port->PutBlock(b.data(), 4095);
  PortStatus s = port->Status();
  EXPECT_TRUE(s.out_full);
  EXPECT_EQ(s.out_head, s.out_tail);
  EXPECT_EQ(s.out_pending, 4096u);

  try {
    port->PutBlock(&one, 1);
    FAIL() << "a byte more than the room was queued";
  } catch (const EOutputBufferTooSmall& e) {
    EXPECT_STREQ(e.what(), "Buffer too small for port COM3");
  }
  EXPECT_EQ(port->Status().out_pending, 4096u);

  line->HoldWrites(false);
  ASSERT_TRUE(line->WaitWritten(1000 + 1 + 4095));
  EXPECT_EQ(line->WriteSizes(), (std::vector<uint32_t>{1000, 1, 3095, 1000}));
  auto expected = a;
  expected.push_back(one);
  expected.insert(expected.end(), b.begin(), b.end());
  EXPECT_EQ(line->Written(), expected);
  ASSERT_TRUE(test::Eventually([&] { return port->Status().out_pending == 0; }));
  s = port->Status();
  EXPECT_FALSE(s.out_full);
  EXPECT_EQ(s.last_write_count, 4095);
}

TEST_F(FakePortTest, FullRingGoesOutWholeOrInTwoPieces) {
  auto port = MakePort();
  // Full with both indices at 0: one write of the whole ring.
  const auto all = Pattern(4096, 15);
  port->PutBlock(all.data(), 4096);
  ASSERT_TRUE(line->WaitWritten(4096));
  WaitDrained(*port);
  EXPECT_EQ(line->WriteSizes(), std::vector<uint32_t>{4096});

  // Full with both indices at 1: to the end of storage, then the start.
  const uint8_t one = 1;
  port->PutBlock(&one, 1);
  ASSERT_TRUE(line->WaitWritten(4097));
  WaitDrained(*port);
  line->HoldWrites(true);
  port->PutBlock(all.data(), 4096);
  ASSERT_TRUE(line->WaitWriteHeld());
  line->HoldWrites(false);
  ASSERT_TRUE(line->WaitWritten(8193));
  EXPECT_EQ(line->WriteSizes(), (std::vector<uint32_t>{4096, 1, 4095, 1}));
}

TEST_F(FakePortTest, CountZeroDoesNothing) {
  auto port = MakePort();
  const uint8_t byte = 0;
  port->PutBlock(&byte, 0);
  EXPECT_EQ(port->Status().out_pending, 0u);
  EXPECT_EQ(port->Status().last_write_count, 0);
  EXPECT_EQ(line->WriteAttempts(), 0);
}

TEST_F(FakePortTest, FailedWritesAreIssuedAgainAndNoByteIsLost) {
  auto port = MakePort();
  line->FailWrites(3);
  const auto out = Pattern(300, 16);
  port->PutBlock(out.data(), 300);
  ASSERT_TRUE(line->WaitWritten(300));
  EXPECT_EQ(line->Written(), out);
  EXPECT_EQ(line->WriteAttempts(), 4);
  EXPECT_EQ(line->WriteSizes(), std::vector<uint32_t>{300});
}

// ---- events and status

TEST_F(FakePortTest, RefusedRingTrailBitFallsBackAndReceptionWorks) {
  line->refuse_ring_trail = true;
  auto port = MakePort();
  ASSERT_TRUE(line->WaitIdle());
  EXPECT_EQ(line->Masks(), (std::vector<uint32_t>{0x21FD, 0x1FD}));
  line->Receive(Pattern(5, 17));
  ASSERT_TRUE(port->WaitTotal(5));
  EXPECT_EQ(port->Counts(), std::vector<uint32_t>{5});
}

TEST_F(FakePortTest, EventsUpdateStatusAndReachTheHandler) {
  auto port = MakePort();
  struct Seen {
    std::mutex mutex;
    std::vector<uint32_t> events;
  } seen;
  port->SetOnCommEvent(
      [](void* context, uint32_t events) {
        auto* s = static_cast<Seen*>(context);
        std::lock_guard lock(s->mutex);
        s->events.push_back(events);
      },
      &seen);
  line->SetErrors(kCeFrame | kCeOverrun | 0x100);
  line->RaiseEvent(kEvErr | kEvRingTrail);
  ASSERT_TRUE(line->WaitIdle());
  const PortStatus s = port->Status();
  EXPECT_EQ(s.error_bits, uint32_t{kCeFrame | kCeOverrun});  // only the five line-error bits
  EXPECT_TRUE(s.ring_trail_seen);
  EXPECT_EQ(s.last_events, kEvErr | kEvRingTrail);
  {
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.events, std::vector<uint32_t>{kEvErr | kEvRingTrail});
  }
  // PutBlock stores the whole mask in place of the bits gathered before.
  line->SetErrors(0x100);
  const uint8_t byte = 1;
  port->PutBlock(&byte, 1);
  EXPECT_EQ(port->Status().error_bits, 0x100u);
  port->SetOnCommEvent(nullptr, nullptr);
}

class SilentPort : public TComPort {  // never enables DataReceived
 public:
  using TComPort::TComPort;
  void DataReceived(uint32_t /*count*/) override { called = true; }
  std::atomic<bool> called{false};
};

TEST_F(FakePortTest, BytesBeforeEnableStayInTheRing) {
  SilentPort port(3, std::make_unique<FakeDevice>(line));
  line->Receive(Pattern(7, 18));
  ASSERT_TRUE(line->WaitIdle());
  EXPECT_FALSE(port.called.load());
  EXPECT_EQ(port.Status().in_count, 7u);
}

class GreedyPort : public TComPort {  // reads one byte more than it was given
 public:
  explicit GreedyPort(std::shared_ptr<FakeLine> line) : TComPort(3, std::make_unique<FakeDevice>(line)) {
    EnableDataReceived();
  }
  ~GreedyPort() override { Close(); }
  GreedyPort(const GreedyPort&) = delete;
  GreedyPort& operator=(const GreedyPort&) = delete;
  void DataReceived(uint32_t count) override {
    for (uint32_t i = 0; i <= count; ++i) {
      taken.push_back(ReadByte());  // the last one raises EBufferIsEmpty
    }
  }
  std::vector<uint8_t> taken;  // event thread only until the port is closed
};

TEST_F(FakePortTest, ExceptionFromDataReceivedDoesNotEndReception) {
  GreedyPort port(line);
  line->Receive({1, 2});
  ASSERT_TRUE(line->WaitIdle());
  line->Receive({3});
  ASSERT_TRUE(line->WaitIdle());
  EXPECT_TRUE(port.Status().receiving);
  port.SetBaudRate(9600);  // still usable
  ASSERT_TRUE(line->WaitIdle());
  EXPECT_EQ(port.Status().in_count, 0u);
}

// ---- closing

TEST_F(FakePortTest, CloseFromEveryStateReturnsPromptly) {
  struct Case {
    const char* name;
    void (*prepare)(TComPort&, FakeLine&);
  };
  const Case cases[] = {
      {"idle", [](TComPort&, FakeLine&) {}},
      {"write pending",
       [](TComPort& port, FakeLine& line) {
         line.HoldWrites(true);
         const auto out = Pattern(4096, 19);
         port.PutBlock(out.data(), 4096);
         ASSERT_TRUE(line.WaitWriteHeld());
       }},
      {"writes failing",
       [](TComPort& port, FakeLine& line) {
         line.FailWrites(1 << 30);
         const auto out = Pattern(100, 20);
         port.PutBlock(out.data(), 100);
       }},
      {"input flowing",
       [](TComPort&, FakeLine& line) {
         for (int i = 0; i < 50; ++i) {
           line.Receive(Pattern(1000, 21));
         }
       }},
  };
  for (const Case& c : cases) {
    line = std::make_shared<FakeLine>();
    auto port = MakePort(/*drain=*/true);
    c.prepare(*port, *line);
    const double ms = test::MillisecondsOf([&] { port->Shut(); });
    std::printf("close (%s): %.2f ms\n", c.name, ms);
    EXPECT_LT(ms, 5000.0) << c.name;
    EXPECT_FALSE(port->IsOpen()) << c.name;
    EXPECT_FALSE(port->Status().receiving) << c.name;
    EXPECT_TRUE(line->Closed()) << c.name;
    port->Shut();  // idempotent
  }
}

}  // namespace
}  // namespace notavero
