// The line server over a real pseudo-terminal, driven from the test as a
// driver would drive it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/hex.h"
#include "sim/sim_server.h"
#include "sim/trace_file.h"
#include "tests/sim/model_helpers.h"

namespace notavero::sim {
namespace {

using test::Frame;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
constexpr milliseconds kTimeout{10000};

std::string Hex(const Bytes& bytes) {
  return HexBytes(bytes.data(), bytes.size());
}

// The driver's end of the line.
class Port {
 public:
  explicit Port(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    EXPECT_GE(fd_, 0) << path;
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~Port() { close(fd_); }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  void Write(const Bytes& bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  // Reads until `count` bytes have come or the time-out has passed.
  Bytes Read(std::size_t count, milliseconds timeout = kTimeout) {
    Bytes bytes;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (bytes.size() < count) {
      const auto left = std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
      pollfd fds{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&fds, 1, static_cast<int>(left.count())) <= 0) {
        break;
      }
      std::array<uint8_t, 256> buffer{};
      const ssize_t n = read(fd_, buffer.data(), std::min(buffer.size(), count - bytes.size()));
      if (n <= 0) {
        break;
      }
      bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + n);
    }
    return bytes;
  }
  // Sends a frame and reads a reply of `count` bytes.
  Bytes Exchange(std::initializer_list<uint8_t> payload, std::size_t count) {
    Write(Frame(payload));
    return Read(count);
  }
  uint8_t PollAck() {
    const Bytes reply = Exchange({cmdPoll}, 6);
    if (reply.size() == 6 && reply[2] == 7) {
      const Bytes rest = Read(1);
      Write(Frame({cmdAck}));
      return reply[3];
    }
    Write(Frame({cmdAck}));
    return reply.size() == 6 ? reply[3] : 0;
  }
  // True once the other end has gone (poll reports a hang-up).
  bool HungUp(milliseconds timeout) {
    pollfd fds{fd_, POLLIN, 0};
    return poll(&fds, 1, static_cast<int>(timeout.count())) == 1 && (fds.revents & POLLHUP) != 0;
  }
  uint8_t PollUntil(uint8_t state) {
    for (int i = 0; i < 50; ++i) {
      if (const uint8_t got = PollAck(); got == state || got == 0) {
        return got;
      }
    }
    return 0xFF;
  }

 private:
  int fd_;
};

SimOptions Fast() {
  SimOptions options;
  options.fast = true;
  return options;
}

TEST(SimServer, PollResetEnableInsertEscrowStackStackedOverThePty) {
  auto server = SimServer::Start(Fast());
  Port port(server->SlavePath());
  EXPECT_EQ(Hex(port.Exchange({cmdPoll}, 6)), "02 03 06 10 43 92");
  port.Write(Frame({cmdAck}));
  EXPECT_EQ(Hex(port.Exchange({cmdReset}, 6)), "02 03 06 00 C2 82");
  EXPECT_EQ(port.PollUntil(dsDisabled), dsDisabled);
  const Bytes table = port.Exchange({cmdGetBillTable}, 125);
  ASSERT_EQ(table.size(), 125U);
  EXPECT_TRUE(FrameCrcGood(table.data(), table.size()));
  port.Write(Frame({cmdAck}));
  EXPECT_EQ(Hex(port.Exchange({cmdEnableBillTypes, 0, 0, 0xFC, 0, 0, 0xFC}, 6)), "02 03 06 00 C2 82");
  EXPECT_TRUE(server->WaitForState(dsWaitingForBill, kTimeout));
  ASSERT_TRUE(server->Insert(4).ok);
  EXPECT_EQ(port.PollAck(), dsAccepting);
  EXPECT_EQ(port.PollUntil(dsEscrow), dsEscrow);
  EXPECT_EQ(Hex(port.Exchange({cmdStack}, 6)), "02 03 06 00 C2 82");
  EXPECT_EQ(port.PollAck(), dsStacking);
  EXPECT_EQ(port.PollAck(), dsStacking);
  EXPECT_EQ(Hex(port.Exchange({cmdPoll}, 7)), "02 03 07 81 04 70 6C");
  port.Write(Frame({cmdAck}));
  EXPECT_TRUE(server->WaitForState(dsWaitingForBill, kTimeout));
  const SimStatus status = server->Status();
  EXPECT_EQ(status.counters.stacked, 1U);
  EXPECT_EQ(status.counters.stacked_sum, 100U);
  EXPECT_EQ(status.enabled_mask, 0xFCU);
}

TEST(SimServer, StatusTraceAndWaitsSeeWhatHappenedOnTheLine) {
  auto server = SimServer::Start(Fast());
  Port port(server->SlavePath());
  // Initialising comes and goes within a few polls; the trace keeps it, and
  // a waiter that comes late still finds the state that followed.
  const std::size_t mark = server->TraceMark();
  port.Exchange({cmdReset}, 6);
  ASSERT_TRUE(server->WaitForTrace(
      [](const TraceEntry& e) { return e.direction == Direction::kSent && e.bytes.size() == 6; }, kTimeout,
      mark));
  for (int i = 0; i < kInitPolls + 1; ++i) {
    port.PollAck();
  }
  EXPECT_TRUE(server->WaitForState(dsDisabled, kTimeout));
  EXPECT_TRUE(server->WaitForTrace(
      [](const TraceEntry& e) {
        return e.direction == Direction::kSent && e.bytes.size() == 6 && e.bytes[3] == dsInitializing;
      },
      kTimeout, mark));
  EXPECT_FALSE(server->WaitForState(dsEscrow, milliseconds(50)));
  const auto trace = server->Trace();
  ASSERT_GE(trace.size(), 2U);
  EXPECT_EQ(Hex(trace[0].bytes), "02 03 06 30 41 B3");
  EXPECT_EQ(trace[0].direction, Direction::kReceived);
  EXPECT_EQ(Hex(trace[1].bytes), "02 03 06 00 C2 82");
  EXPECT_LE(trace[0].time, trace[1].time);
  EXPECT_EQ(server->Status().state, dsDisabled);
}

TEST(SimServer, TheDriverMayOpenAndCloseThePortAgainAndAgain) {
  auto server = SimServer::Start(Fast());
  for (int i = 0; i < 5; ++i) {
    Port port(server->SlavePath());
    EXPECT_EQ(Hex(port.Exchange({cmdPoll}, 6)), "02 03 06 10 43 92") << "open " << i;
  }
  EXPECT_EQ(server->Error(), "");
}

TEST(SimServer, PacedRepliesArriveWhole) {
  SimOptions options;  // 9600-baud pacing: 125 bytes take about 130 ms
  auto server = SimServer::Start(options);
  Port port(server->SlavePath());
  const Bytes table = port.Exchange({cmdGetBillTable}, 125);
  ASSERT_EQ(table.size(), 125U);
  EXPECT_TRUE(FrameCrcGood(table.data(), table.size()));
}

TEST(SimServer, SplitAndDelayedRepliesArriveWhole) {
  auto server = SimServer::Start(Fast());
  Port port(server->SlavePath());
  ASSERT_TRUE(server->Command("split 6 20").ok);
  EXPECT_EQ(Hex(port.Exchange({cmdPoll}, 6)), "02 03 06 10 43 92");
  ASSERT_TRUE(server->Command("delay 100").ok);
  EXPECT_EQ(Hex(port.Exchange({cmdPoll}, 6)), "02 03 06 10 43 92");
  ASSERT_TRUE(server->Command("garbage 4").ok);
  const Bytes noisy = port.Exchange({cmdPoll}, 10);
  ASSERT_EQ(noisy.size(), 10U);
  EXPECT_EQ(Hex(Bytes(noisy.begin() + 4, noisy.end())), "02 03 06 10 43 92");
}

TEST(SimServer, PowerCycleDropsAReplyOnItsWay) {
  auto server = SimServer::Start(Fast());
  Port port(server->SlavePath());
  ASSERT_TRUE(server->Command("delay 60000").ok);
  const std::size_t mark = server->TraceMark();
  port.Write(Frame({cmdReset}));
  ASSERT_TRUE(server->WaitForTrace([](const TraceEntry& e) { return e.direction == Direction::kReceived; },
                                   kTimeout, mark));
  ASSERT_TRUE(server->PowerCycle().ok);
  EXPECT_EQ(Hex(port.Exchange({cmdPoll}, 6)), "02 03 06 10 43 92");  // not the held-back acknowledge
}

// The driver's side hangs up when the line is pulled; the device keeps its
// state, the reply it was sending is lost, and a new pseudo-terminal serves it.
TEST(SimServer, UnplugHangsUpTheDriverAndReplugServesTheSameDeviceOnANewLine) {
  SimOptions options = Fast();
  options.start_disabled = true;
  auto server = SimServer::Start(options);
  {
    Port port(server->SlavePath());
    ASSERT_TRUE(server->Command("delay 60000").ok);
    const std::size_t mark = server->TraceMark();
    port.Write(Frame({cmdReset}));
    ASSERT_TRUE(server->WaitForTrace([](const TraceEntry& e) { return e.direction == Direction::kReceived; },
                                     kTimeout, mark));
    ASSERT_TRUE(server->Unplug().ok);
    EXPECT_TRUE(port.HungUp(kTimeout));
    EXPECT_EQ(server->SlavePath(), "");
    EXPECT_EQ(server->Status().line, "unplugged");
    EXPECT_FALSE(server->Unplug().ok);
  }
  ASSERT_TRUE(server->Replug().ok);
  const SimStatus status = server->Status();
  EXPECT_EQ(status.line, server->SlavePath());
  EXPECT_EQ(status.replugs, 1U);
  Port port(server->SlavePath());
  EXPECT_EQ(port.PollAck(), dsInitializing);  // the reset was done; its acknowledge went with the line
  EXPECT_EQ(server->Error(), "");
}

TEST(SimServer, TraceFileHoldsEveryFrame) {
  const std::string path = ::testing::TempDir() + "sim_trace_test.txt";
  SimOptions options = Fast();
  options.trace_file = path;
  {
    auto server = SimServer::Start(options);
    Port port(server->SlavePath());
    port.Exchange({cmdPoll}, 6);
    ASSERT_TRUE(
        server->WaitForTrace([](const TraceEntry& e) { return e.direction == Direction::kSent; }, kTimeout));
  }
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_NE(text.str().find(" RX 02 03 06 33 DA 81\n"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find(" TX 02 03 06 10 43 92\n"), std::string::npos) << text.str();
}

// The trace file read back holds the frames, the commands that changed the
// device and the notes, in the order they happened; queries are left out.
TEST(SimServer, TraceFileReadBackHoldsFramesCommandsAndNotesInOrder) {
  const std::string path = ::testing::TempDir() + "sim_trace_notes_test.txt";
  SimOptions options = Fast();
  options.trace_file = path;
  {
    auto server = SimServer::Start(options);
    Port port(server->SlavePath());
    server->Note("driver created");
    EXPECT_EQ(Hex(port.Exchange({cmdPoll}, 6)), "02 03 06 10 43 92");
    ASSERT_TRUE(server->Command("status").ok);
    ASSERT_TRUE(server->Command("power-cycle 11  # a bill in the head").ok);
    ASSERT_FALSE(server->Command("insert 99").ok);
    EXPECT_EQ(Hex(port.Exchange({cmdPoll}, 6)), "02 03 06 11 CA 83");
    server->Note("driver destroyed\nat once");
  }
  const std::vector<TraceLine> lines = ReadTraceFile(path);
  std::vector<std::string> seen;
  double last = 0;
  for (const auto& line : lines) {
    EXPECT_GE(line.seconds, last);
    last = line.seconds;
    switch (line.kind) {
      case TraceLine::Kind::kNote:
        seen.push_back("-- " + line.text);
        break;
      case TraceLine::Kind::kReceived:
        seen.push_back("RX " + Hex(line.bytes));
        break;
      case TraceLine::Kind::kSent:
        seen.push_back("TX " + Hex(line.bytes));
        break;
    }
  }
  EXPECT_EQ(seen,
            (std::vector<std::string>{"-- driver created", "RX 02 03 06 33 DA 81", "TX 02 03 06 10 43 92",
                                      "-- cmd power-cycle 11", "RX 02 03 06 33 DA 81", "TX 02 03 06 11 CA 83",
                                      "-- driver destroyed at once"}));
  // A window of it replays from a text: comments and blank lines are
  // skipped, a bad line is named.
  const auto window = ParseTrace("# recorded\n\n1.5 RX 02 03 06 33 DA 81  # poll\n1.6 -- note\n");
  ASSERT_EQ(window.size(), 2U);
  EXPECT_EQ(Hex(window[0].bytes), "02 03 06 33 DA 81");
  EXPECT_EQ(window[1].text, "note");
  EXPECT_EQ(TraceWindow(lines, lines[1].seconds, lines[2].seconds).size(), 2U);
  try {
    ParseTrace("1.0 RX 02 3\n");
    ADD_FAILURE() << "a bad hex byte was read";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("trace line 1"), std::string::npos) << error.what();
  }
  EXPECT_THROW(ParseTrace("RX 02 03\n"), std::runtime_error);
}

TEST(SimServer, StartRefusesWhatItCannotOpen) {
  SimOptions options = Fast();
  options.device = "/nonexistent/ttyS9";
  EXPECT_THROW(SimServer::Start(options), std::runtime_error);
  options = Fast();
  options.bill_table_file = "/nonexistent/table";
  EXPECT_THROW(SimServer::Start(options), std::runtime_error);
  options = Fast();
  options.power_up_state = dsDisabled;
  EXPECT_THROW(SimServer::Start(options), std::runtime_error);
}

TEST(SimServer, StopEndsWaitsAndMayBeCalledFromSeveralThreads) {
  auto server = SimServer::Start(Fast());
  std::thread waiter([&] { EXPECT_FALSE(server->WaitForState(dsEscrow, milliseconds(60000))); });
  std::thread stopper([&] { server->Stop(); });
  server->Stop();
  stopper.join();
  waiter.join();
  EXPECT_FALSE(server->WaitForTrace([](const TraceEntry&) { return true; }, milliseconds(60000)));
}

TEST(SimServer, CommandsFromManyThreadsWhileTheLineIsBusy) {
  SimOptions options = Fast();
  options.start_disabled = true;
  auto server = SimServer::Start(options);
  Port port(server->SlavePath());
  std::thread commands([&] {
    for (int i = 0; i < 200; ++i) {
      server->Command(i % 2 == 0 ? "busy 1" : "clear");
      (void)server->Status();
      (void)server->Trace();
    }
    server->Command("clear");
  });
  for (int i = 0; i < 200; ++i) {
    const Bytes reply = port.Exchange({cmdPoll}, 6);
    ASSERT_GE(reply.size(), 6U);
    if (reply[2] == 7) {
      port.Read(1);
    }
  }
  commands.join();
  EXPECT_EQ(port.PollAck(), dsDisabled);
}

}  // namespace
}  // namespace notavero::sim
