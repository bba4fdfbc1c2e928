// TComPort on the Win32 backend, run under Wine against a pseudo-terminal
// mapped to COM5 whose other side echoes every byte (tests/wine/pty_device.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "serial/com_port.h"
#include "tests/serial/port_test_util.h"

namespace notavero {
namespace {

using test::Pattern;
using test::RecordingPort;

constexpr uint16_t kPort = 5;

void Configure(TComPort& port) {
  port.SetBaudRate(9600);
  port.SetParity(0);
  port.SetByteSize(8);
  port.SetStopBits(1);
  port.Purge();
}

// Waits until the bytes received so far end with `tail`; false when no more
// bytes arrive in time.
bool WaitForTail(RecordingPort& port, const std::vector<uint8_t>& tail) {
  for (;;) {
    const auto bytes = port.Bytes();
    if (bytes.size() >= tail.size() &&
        std::equal(tail.begin(), tail.end(), bytes.end() - static_cast<std::ptrdiff_t>(tail.size()))) {
      return true;
    }
    if (!port.WaitBytes(bytes.size() + 1)) {
      return false;
    }
  }
}

TEST(WinePort, MissingPortRaisesOpenFail) {
  EXPECT_THROW(TComPort port(9), EOpenPortFail);
}

TEST(WinePort, ThousandBytesThroughTheEchoIntact) {
  RecordingPort port(kPort, /*drain=*/true);
  Configure(port);
  const auto out = Pattern(1000, 51);
  port.PutBlock(out.data(), 1000);
  ASSERT_TRUE(port.WaitBytes(1000));
  EXPECT_EQ(port.Bytes(), out);
  EXPECT_EQ(port.Status().last_write_count, 1000);
}

TEST(WinePort, HundredExchanges) {
  RecordingPort port(kPort, /*drain=*/true);
  Configure(port);
  std::vector<double> times;
  std::size_t expected = 0;
  for (int i = 0; i < 100; ++i) {
    const auto frame = Pattern(6, 100 + i);
    times.push_back(test::MillisecondsOf([&] {
      port.PutBlock(frame.data(), 6);
      expected += 6;
      ASSERT_TRUE(port.WaitBytes(expected)) << i;
    }));
    const auto bytes = port.Bytes();
    ASSERT_TRUE(std::equal(frame.begin(), frame.end(), bytes.end() - 6)) << i;
  }
  std::sort(times.begin(), times.end());
  std::printf("100 exchanges of 6 bytes: median %.2f ms, max %.2f ms\n", times[50], times.back());
}

TEST(WinePort, PurgeDropsReceivedInput) {
  RecordingPort port(kPort, /*drain=*/false);
  Configure(port);
  const auto out = Pattern(100, 52);
  port.PutBlock(out.data(), 100);
  ASSERT_TRUE(port.WaitTotal(100));
  port.Purge();
  EXPECT_EQ(port.Status().in_count, 0u);
  EXPECT_THROW(port.ReadByte(), EBufferIsEmpty);
  const auto after = Pattern(3, 53);
  port.PutBlock(after.data(), 3);
  ASSERT_TRUE(port.WaitTotal(103));
  EXPECT_EQ(port.ReadByte(), after[0]);
}

TEST(WinePort, CloseReturnsPromptlyIdleAndBusy) {
  {
    RecordingPort port(kPort, true);
    Configure(port);
    const double ms = test::MillisecondsOf([&] { port.Shut(); });
    std::printf("close (idle): %.2f ms\n", ms);
    EXPECT_LT(ms, 5000.0);
  }
  {
    RecordingPort port(kPort, true);
    Configure(port);
    // Keep both directions busy: the output ring full, the echo flowing in.
    const auto block = Pattern(4096, 54);
    port.PutBlock(block.data(), 4096);
    ASSERT_TRUE(port.WaitBytes(512));
    for (int i = 0; i < 4; ++i) {
      try {
        port.PutBlock(block.data(), 2048);
      } catch (const EOutputBufferTooSmall&) {
        break;
      }
    }
    const double ms = test::MillisecondsOf([&] { port.Shut(); });
    std::printf("close (busy): %.2f ms\n", ms);
    EXPECT_LT(ms, 5000.0);
    EXPECT_FALSE(port.Status().receiving);
  }
  // The port opens again after a close and carries data.  The echo of the
  // busy port's last bytes may still be on its way back through the device
  // (the purge cannot reach it); it arrives before the echo of the new bytes.
  RecordingPort again(kPort, true);
  Configure(again);
  const auto out = Pattern(10, 55);
  again.PutBlock(out.data(), 10);
  EXPECT_TRUE(WaitForTail(again, out));
}

}  // namespace
}  // namespace notavero
