// TComPort on the POSIX backend over a real pseudo-terminal: the test plays
// the device on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/cp1251.h"
#include "serial/com_port.h"
#include "tests/serial/port_test_util.h"
#include "tests/serial/pty_util.h"

namespace notavero {
namespace {

using test::Pattern;
using test::RecordingPort;

constexpr uint16_t kPort = 7;

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name;
    master_ = test::OpenPtyAsPort(7, name);
    ASSERT_GE(master_, 0);
  }
  void TearDown() override {
    CloseMaster();
    unsetenv("NOTAVERO_COM7");
  }
  void CloseMaster() {
    if (master_ >= 0) {
      close(master_);
      master_ = -1;
    }
  }

  // Reads `count` bytes from the master, giving up after 10 s without progress.
  std::vector<uint8_t> ReadMaster(std::size_t count) {
    std::vector<uint8_t> got;
    uint8_t chunk[4096];
    while (got.size() < count) {
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, 10000) <= 0) {
        break;
      }
      const ssize_t n = read(master_, chunk, sizeof chunk);
      if (n <= 0) {
        break;
      }
      got.insert(got.end(), chunk, chunk + n);
    }
    return got;
  }
  void WriteMaster(const std::vector<uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      ASSERT_GT(n, 0);
      done += static_cast<std::size_t>(n);
    }
  }

  int master_ = -1;
};

std::string OpenFailure(uint16_t port) {
  try {
    TComPort opened(port);
  } catch (const EOpenPortFail& e) {
    return e.what();
  }
  return "(opened)";
}

// The message names the device and the system's reason after the port, so
// that a missing adapter and a busy or inaccessible one tell apart.
TEST(PtyOpen, OpenFailuresNameTheDeviceAndTheReason) {
  setenv("NOTAVERO_COM9", "/nonexistent/tty", 1);
  EXPECT_EQ(OpenFailure(9),
            Cp1251(u8"Невозможно открыть COM9").str() + " (/nonexistent/tty: No such file or directory)");
  setenv("NOTAVERO_COM9", "/dev/null", 1);
  EXPECT_EQ(OpenFailure(9), Cp1251(u8"Невозможно открыть COM9").str() + " (/dev/null: not a terminal)");
  unsetenv("NOTAVERO_COM9");
}

// One program at a time on a line: a second port on the same terminal, and
// any program that locks serial devices, finds it taken until the first
// closes.  (Root opens a terminal in exclusive mode all the same, and tests
// run as root: the lock is what stops the second port here.)
TEST_F(PtyTest, TheTerminalIsTakenWhileThePortIsOpen) {
  const char* path = ptsname(master_);
  ASSERT_NE(path, nullptr);
  const int other = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);  // stays open throughout
  ASSERT_GE(other, 0);
  {
    RecordingPort first(kPort, /*drain=*/true);
    EXPECT_EQ(OpenFailure(kPort),
              Cp1251(u8"Невозможно открыть COM7").str() + " (" + path + ": busy: held by another program)");
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    int exclusive = 0;
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_NE(exclusive, 0);
    // The failed open took nothing from the first port.
    EXPECT_TRUE(first.Status().receiving);
    WriteMaster({0x11, 0x22});
    ASSERT_TRUE(first.WaitBytes(2));
    EXPECT_EQ(first.Bytes(), (std::vector<uint8_t>{0x11, 0x22}));
  }
  // Closed: the terminal, still open on both sides, is free and not exclusive.
  int exclusive = 1;
  ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  {
    TComPort again(kPort);
    EXPECT_TRUE(again.IsOpen());
  }
  // A program holding the lock keeps the port out.
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(OpenFailure(kPort),
            Cp1251(u8"Невозможно открыть COM7").str() + " (" + path + ": busy: held by another program)");
  ASSERT_EQ(flock(other, LOCK_UN), 0);
  ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0) << "a refused open left the other program's terminal exclusive";
  close(other);
}

TEST_F(PtyTest, SettingsReachTheTerminalInRawMode) {
  // A pseudo-terminal keeps 8 data bits without parity whatever it is told,
  // so data bits and parity are checked on the scripted device; the baud
  // rate, the stop bits, the flow control and raw mode show here.
  RecordingPort port(kPort, false);
  port.SetBaudRate(9600);
  port.SetStopBits(2);
  termios tio{};
  ASSERT_EQ(tcgetattr(master_, &tio), 0);  // the master reports the slave's settings
  EXPECT_EQ(cfgetospeed(&tio), B9600);
  EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);

  port.SetStopBits(0);
  port.SetBaudRate(115200);
  ASSERT_EQ(tcgetattr(master_, &tio), 0);
  EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(cfgetospeed(&tio), B115200);
}

TEST_F(PtyTest, ThousandBytesOutAndInIntact) {
  RecordingPort port(kPort, /*drain=*/true);
  port.SetBaudRate(9600);
  const auto out = Pattern(1000, 31);
  port.PutBlock(out.data(), 1000);
  EXPECT_EQ(ReadMaster(1000), out);

  const auto in = Pattern(1000, 32);
  WriteMaster(in);
  ASSERT_TRUE(port.WaitBytes(1000));
  EXPECT_EQ(port.Bytes(), in);
}

TEST_F(PtyTest, StreamBothWaysAtOnce) {
  RecordingPort port(kPort, /*drain=*/true);
  const auto out = Pattern(20000, 33);
  const auto in = Pattern(20000, 34);
  std::thread feeder([&] { WriteMaster(in); });
  std::vector<uint8_t> received;
  std::thread reader([&] { received = ReadMaster(out.size()); });
  for (std::size_t i = 0; i < out.size(); i += 500) {
    // The output ring holds 4096 bytes: wait for room instead of failing.
    for (;;) {
      try {
        port.PutBlock(out.data() + i, 500);
        break;
      } catch (const EOutputBufferTooSmall&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the writer makes room
      }
    }
  }
  reader.join();
  feeder.join();
  EXPECT_EQ(received, out);
  ASSERT_TRUE(port.WaitBytes(in.size()));
  EXPECT_EQ(port.Bytes(), in);
}

TEST_F(PtyTest, PurgeDropsReceivedInput) {
  RecordingPort port(kPort, /*drain=*/false);
  WriteMaster(Pattern(100, 35));
  ASSERT_TRUE(port.WaitTotal(100));
  EXPECT_EQ(port.Status().in_count, 100u);
  port.Purge();
  EXPECT_EQ(port.Status().in_count, 0u);
  EXPECT_THROW(port.ReadByte(), EBufferIsEmpty);
  const auto after = Pattern(3, 36);
  WriteMaster(after);
  ASSERT_TRUE(port.WaitTotal(103));
  EXPECT_EQ(port.ReadByte(), after[0]);
}

TEST_F(PtyTest, HangUpEndsTheEventThread) {
  RecordingPort port(kPort, /*drain=*/true);
  EXPECT_TRUE(port.Status().receiving);
  CloseMaster();
  const auto deadline = std::chrono::steady_clock::now() + test::kEventTimeout;
  while (port.Status().receiving && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(port.Status().receiving);
  EXPECT_TRUE(port.IsOpen());
  const double ms = test::MillisecondsOf([&] { port.Shut(); });
  std::printf("close after hang-up: %.2f ms\n", ms);
  EXPECT_LT(ms, 5000.0);
}

TEST_F(PtyTest, CloseReturnsPromptlyIdleAndBusy) {
  {
    RecordingPort port(kPort, true);
    const double ms = test::MillisecondsOf([&] { port.Shut(); });
    std::printf("close (idle): %.2f ms\n", ms);
    EXPECT_LT(ms, 5000.0);
  }
  {
    // The master reads nothing: the terminal's buffer fills and the writer
    // waits in a pending write when the port closes.
    RecordingPort port(kPort, true);
    // Queue until the ring stays full for a while: the terminal's buffer is
    // then full too and the writer is blocked in its write.
    const auto block = Pattern(1024, 37);
    std::size_t queued = 0;
    auto refused_since = std::chrono::steady_clock::now();
    while (queued < (std::size_t{1} << 20)) {
      try {
        port.PutBlock(block.data(), 1024);
        queued += 1024;
        refused_since = std::chrono::steady_clock::now();
      } catch (const EOutputBufferTooSmall&) {
        if (std::chrono::steady_clock::now() - refused_since > std::chrono::milliseconds(200)) {
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    // Input flows at the same time; the master does not block, so the feeder
    // notices the stop order once the port is gone and nobody reads.
    ASSERT_EQ(fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK), 0);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
      const auto chunk = Pattern(256, 38);
      while (!stop.load()) {
        pollfd fd{master_, POLLOUT, 0};
        if (poll(&fd, 1, 100) > 0) {
          (void)!write(master_, chunk.data(), chunk.size());
        }
      }
    });
    ASSERT_TRUE(port.WaitTotal(1024));
    const PortStatus busy = port.Status();
    EXPECT_GT(busy.out_pending, 0u) << busy.out_head << " " << busy.out_tail << " " << busy.out_full << " "
                                    << busy.last_write_count;
    const double ms = test::MillisecondsOf([&] { port.Shut(); });
    std::printf("close (write pending, input flowing): %.2f ms\n", ms);
    EXPECT_LT(ms, 5000.0);
    EXPECT_FALSE(port.Status().receiving);
    stop = true;
    feeder.join();
  }
}

}  // namespace
}  // namespace notavero
