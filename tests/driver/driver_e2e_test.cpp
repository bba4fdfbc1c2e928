// The driver against the validator simulator over a pseudo-terminal: the
// frames on the line, the host's callbacks and the log file's lines.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/cp1251.h"
#include "common/hex.h"
#include "driver/notavero.h"
#include "driver/notavero_unit.h"
#include "log/log_phrases.h"
#include "protocol/frame.h"
#include "sim/sim_server.h"
#include "tests/driver/driver_log_test.h"
#include "tests/driver/frames.h"
#include "tests/driver/recording_host.h"

namespace notavero {
namespace {

using namespace std::chrono_literals;
using sim::Direction;
using sim::SimServer;
using sim::TraceEntry;

constexpr auto kWait = 20s;  // generous: sanitizers on a loaded machine

// The driver's frames, as the simulator's trace shows them.
const std::string kPoll = testing::Hex(testing::kPoll);
const std::string kAck = testing::Hex(testing::kAck);
const std::string kReset = testing::Hex(testing::kReset);
const std::string kSecurity = testing::Hex(testing::kSecurity);
const std::string kEnableAll = testing::Hex(testing::kEnableAll);
const std::string kDisableAll = testing::Hex(testing::kDisableAll);
const std::string kStack = testing::Hex(testing::kStack);
const std::string kReturn = testing::Hex(testing::kReturn);
const std::string kGetBillTable = testing::Hex(testing::kGetBillTable);

using Host = testing::RecordingHost;

std::string Hex(const std::vector<uint8_t>& bytes) {
  return testing::Hex(bytes);
}

// The device's reply frame with the given data bytes.
std::string Reply(const std::vector<uint8_t>& data) {
  return testing::Hex(testing::Frame(data));
}

// Frames the driver sent, in order, from the simulator's trace.
std::vector<std::string> SentByDriver(const SimServer& sim, std::size_t since = 0) {
  std::vector<std::string> frames;
  const auto trace = sim.Trace();
  for (std::size_t i = since; i < trace.size(); ++i) {
    if (trace[i].direction == Direction::kReceived) {
      frames.push_back(Hex(trace[i].bytes));
    }
  }
  return frames;
}

std::size_t Count(const std::vector<std::string>& frames, const std::string& frame) {
  return static_cast<std::size_t>(std::count(frames.begin(), frames.end(), frame));
}

bool WaitForFrame(SimServer& sim, const std::string& frame, std::size_t since = 0) {
  return sim.WaitForTrace(
      [&](const TraceEntry& entry) {
        return entry.direction == Direction::kReceived && Hex(entry.bytes) == frame;
      },
      kWait, since);
}

class DriverTest : public testing::DriverLogTest {
 protected:
  void TearDown() override {
    drivers_.clear();
    sims_.clear();
    DriverLogTest::TearDown();
  }

  SimServer& StartSim(uint8_t port, sim::SimOptions options = {}, bool fast = true) {
    options.fast = fast;
    sims_.push_back(SimServer::Start(options));
    ::setenv(("NOTAVERO_COM" + std::to_string(port)).c_str(), sims_.back()->SlavePath().c_str(), 1);
    return *sims_.back();
  }

  TNotavero& StartDriver(uint8_t port, Host& host) {
    drivers_.push_back(std::make_unique<TNotavero>(port, TBillSink{nullptr, &Host::Callback, &host}));
    return *drivers_.back();
  }

  // Starts a simulator and a driver and waits until the driver has read the
  // bill table and set security, so that an enable request enables bills.
  TNotavero& StartReady(uint8_t port, Host& host, sim::SimOptions options = {}) {
    SimServer& sim = StartSim(port, std::move(options));
    TNotavero& driver = StartDriver(port, host);
    EXPECT_TRUE(WaitForFrame(sim, kSecurity));
    return driver;
  }

  std::vector<std::unique_ptr<SimServer>> sims_;
  std::vector<std::unique_ptr<TNotavero>> drivers_;
};

const std::string kStateLine = phrase::kStateLine.str();
const std::string kThreadError = phrase::kThreadError.str();
// A failed command's line: the cash device error, then which command and why.
const std::string kCashError = kThreadError + phrase::kCashDeviceError.str();
const std::string kPollUnanswered = kCashError + Cp1251(u8"команда 33: нет ответа").str();
const std::string kPollBadCrc = kCashError + Cp1251(u8"команда 33: неверная контрольная сумма").str();

TEST_F(DriverTest, RoadOfOneBanknote) {
  Host host;
  TNotavero& driver = StartReady(7, host);
  SimServer& sim = *sims_.back();

  // From power-up: reset, then status, table and security on the first 0x19.
  const auto start = SentByDriver(sim);
  ASSERT_GE(start.size(), 4U);
  EXPECT_EQ(start[0], kPoll);
  EXPECT_EQ(Count(start, kReset), 1U);
  EXPECT_EQ(Count(start, kGetBillTable), 1U);
  EXPECT_EQ(driver.BillValues()[4], 1'000'000);

  driver.SetEnabled(true);
  ASSERT_TRUE(WaitForFrame(sim, kEnableAll));
  ASSERT_TRUE(sim.WaitForState(dsWaitingForBill, kWait));
  ASSERT_TRUE(sim.Insert(4).ok);
  ASSERT_TRUE(host.WaitForCalls(2));
  const auto calls = host.Calls();
  EXPECT_EQ(calls[0].kind, NV_BILL_ESCROW);
  EXPECT_EQ(calls[0].amount, 1'000'000);
  EXPECT_EQ(calls[1].kind, NV_BILL_STACKED);
  EXPECT_EQ(calls[1].amount, 1'000'000);
  EXPECT_TRUE(WaitForFrame(sim, kStack));
  ASSERT_TRUE(sim.WaitForState(dsWaitingForBill, kWait));
  EXPECT_EQ(sim.Status().counters.stacked, 1U);
  EXPECT_EQ(sim.Status().counters.stacked_sum, 100U);

  drivers_.clear();
  EXPECT_EQ(host.Calls().size(), 2U) << "a stacked bill is credited exactly once";
  EXPECT_TRUE(LogHas('+', std::string("[COM7]:  Send: ") + kPoll));
  EXPECT_TRUE(LogHas('+', "[COM7]:  Receive: " + Reply({dsEscrow, 4})));
  EXPECT_TRUE(LogHas('?', kStateLine + "80-04. " + Cp1251(u8"Принять купюру?").str()));
  EXPECT_TRUE(LogHas('?', kStateLine + "81-04. " + Cp1251(u8"Складирование купюры.").str()));
  EXPECT_TRUE(LogHas('?', kStateLine + "10-00. " + Cp1251(u8"Включено питание").str()));
}

TEST_F(DriverTest, ReturnedBillIsNeverCredited) {
  Host host;
  host.StackEscrow(false);
  TNotavero& driver = StartReady(7, host);
  SimServer& sim = *sims_.back();
  driver.SetEnabled(true);
  ASSERT_TRUE(sim.WaitForState(dsWaitingForBill, kWait));
  ASSERT_TRUE(sim.Insert(7).ok);
  ASSERT_TRUE(host.WaitForCalls(2));
  const auto calls = host.Calls();
  EXPECT_EQ(calls[0].kind, NV_BILL_ESCROW);
  EXPECT_EQ(calls[0].amount, 50'000'000);
  EXPECT_EQ(calls[1].kind, NV_BILL_RETURNED);
  EXPECT_EQ(calls[1].amount, 50'000'000);
  const auto frames = SentByDriver(sim);
  EXPECT_EQ(Count(frames, kReturn), 1U);
  EXPECT_EQ(Count(frames, kStack), 0U);
  EXPECT_EQ(sim.Status().counters.returned, 1U);
  EXPECT_EQ(sim.Status().counters.stacked, 0U);
}

TEST_F(DriverTest, WithoutCallbackEscrowIsReturned) {
  SimServer& sim = StartSim(7);
  drivers_.push_back(std::make_unique<TNotavero>(7));
  TNotavero& driver = *drivers_.back();
  ASSERT_TRUE(WaitForFrame(sim, kSecurity));
  driver.SetEnabled(true);
  ASSERT_TRUE(sim.WaitForState(dsWaitingForBill, kWait));
  ASSERT_TRUE(sim.Insert(4).ok);
  ASSERT_TRUE(WaitForFrame(sim, kReturn));
  EXPECT_EQ(Count(SentByDriver(sim), kStack), 0U);
}

TEST_F(DriverTest, PowerUpWithBillIsResetAndLoaded) {
  Host host;
  sim::SimOptions options;
  options.power_up_state = dsPowerUpWithBill;
  StartReady(7, host, options);
  SimServer& sim = *sims_.back();
  const auto frames = SentByDriver(sim);
  EXPECT_EQ(Count(frames, kReset), 1U);
  EXPECT_EQ(Count(frames, kGetBillTable), 1U);
  EXPECT_TRUE(
      LogHas('?', kStateLine + "11-00. " + Cp1251(u8"Включено питание с купюрой в купюроприемнике").str()));

  // A later power-up resets the device and loads the table again.
  const std::size_t mark = sim.TraceMark();
  ASSERT_TRUE(sim.PowerCycle().ok);
  ASSERT_TRUE(WaitForFrame(sim, kSecurity, mark));
  const auto again = SentByDriver(sim, mark);
  EXPECT_EQ(Count(again, kReset), 1U);
  EXPECT_EQ(Count(again, kGetBillTable), 1U);
}

TEST_F(DriverTest, AlreadyDisabledDeviceIsLoadedWithoutReset) {
  Host host;
  sim::SimOptions options;
  options.start_disabled = true;
  StartReady(7, host, options);
  EXPECT_EQ(Count(SentByDriver(*sims_.back()), kReset), 0U);
  EXPECT_EQ(Cp1251ToUtf8(drivers_.back()->StatusText()), "Выключен");
}

TEST_F(DriverTest, EnableRequestsCollapseIntoTheLast) {
  Host host;
  TNotavero& driver = StartReady(7, host);
  SimServer& sim = *sims_.back();
  driver.SetEnabled(true);
  ASSERT_TRUE(sim.WaitForState(dsWaitingForBill, kWait));

  // While the polling thread waits in the escrow callback, the host asks for
  // enable and then disable: only the disable reaches the device.
  host.HoldEscrow();
  ASSERT_TRUE(sim.Insert(2).ok);
  ASSERT_TRUE(host.WaitUntilHeld());
  const std::size_t mark = sim.TraceMark();
  driver.SetEnabled(true);
  driver.SetEnabled(false);
  host.Release();
  ASSERT_TRUE(WaitForFrame(sim, kDisableAll, mark));
  ASSERT_TRUE(host.WaitForCalls(2));
  // A few more cycles: no enable follows.
  const std::size_t later = sim.TraceMark();
  ASSERT_TRUE(WaitForFrame(sim, kPoll, later + 4));
  const auto frames = SentByDriver(sim, mark);
  EXPECT_EQ(Count(frames, kDisableAll), 1U);
  EXPECT_EQ(Count(frames, kEnableAll), 0U);
}

TEST_F(DriverTest, EnableBeforeTheTableIsLoadedEnablesNothing) {
  Host host;
  SimServer& sim = StartSim(7);
  TNotavero& driver = StartDriver(7, host);
  driver.SetEnabled(true);  // the first cycles: the table is not read yet
  ASSERT_TRUE(WaitForFrame(sim, kSecurity));
  const auto frames = SentByDriver(sim);
  const std::size_t enables = Count(frames, kEnableAll) + Count(frames, kDisableAll);
  EXPECT_EQ(enables, 1U);
  EXPECT_EQ(Count(frames, kEnableAll), 0U) << "masks come from the bill table, empty at that time";
}

TEST_F(DriverTest, SilentDeviceIsTriedThreeTimesThenRecovers) {
  Host host;
  StartReady(7, host);
  SimServer& sim = *sims_.back();
  const std::size_t mark = sim.TraceMark();
  ASSERT_TRUE(sim.Command("silent 3").ok);
  // Three polls in a row go unanswered (the attempts of one exchange), then
  // a poll is answered.  The predicate sees each entry once, in order.
  int unanswered = 0;
  ASSERT_TRUE(sim.WaitForTrace(
      [&](const TraceEntry& entry) {
        if (entry.direction == Direction::kSent) {
          if (unanswered >= 4) {
            return true;
          }
          unanswered = 0;
        } else if (Hex(entry.bytes) == kPoll) {
          ++unanswered;
        }
        return false;
      },
      4 * kWait, mark));
  EXPECT_EQ(unanswered, 4);
  ASSERT_TRUE(WaitForFrame(sim, kAck, mark));
  drivers_.clear();
  EXPECT_EQ(LogCount('?', kPollUnanswered), 1U);
  EXPECT_GE(LogCount('+', "[COM7]:  Receive:"), 3U);
  EXPECT_EQ(Cp1251ToUtf8(LogLines().back().text).find("Ошибка"), std::string::npos);
}

TEST_F(DriverTest, BadCrcFailsTheCommandWithoutRetry) {
  Host host;
  StartReady(7, host);
  SimServer& sim = *sims_.back();
  const std::size_t mark = sim.TraceMark();
  ASSERT_TRUE(sim.Command("bad-crc 1").ok);
  // The reply with the bad CRC, then a later cycle that is acknowledged.
  bool bad_sent = false;
  ASSERT_TRUE(sim.WaitForTrace(
      [&](const TraceEntry& entry) {
        if (entry.direction == Direction::kSent && !FrameCrcGood(entry.bytes.data(), entry.bytes.size())) {
          bad_sent = true;
        }
        return bad_sent && entry.direction == Direction::kReceived && Hex(entry.bytes) == kAck;
      },
      kWait, mark));
  drivers_.clear();
  const auto lines = LogLines();
  // The bad reply is logged, the error follows at once: no second attempt
  // of the same poll in between.
  std::size_t error = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].text == kPollBadCrc) {
      error = i;
      break;
    }
  }
  ASSERT_LT(error, lines.size());
  ASSERT_GE(error, 2U);
  EXPECT_EQ(lines[error - 1].text.rfind("[COM7]:  Receive: 02 03 06", 0), 0U);
  EXPECT_EQ(lines[error - 2].text, std::string("[COM7]:  Send: ") + kPoll);
}

TEST_F(DriverTest, GarbageAndSplitRepliesAreAssembled) {
  Host host;
  StartReady(7, host);
  SimServer& sim = *sims_.back();
  for (const char* fault : {"garbage 7", "split", "bad-length", "garbage 3"}) {
    const std::size_t mark = sim.TraceMark();
    ASSERT_TRUE(sim.Command(fault).ok) << fault;
    ASSERT_TRUE(WaitForFrame(sim, kAck, mark)) << fault;
  }
  drivers_.clear();
  // A bad length byte is the only one of these that fails a command.
  std::size_t failed = 0;
  for (const auto& line : LogLines()) {
    failed += line.mark == '?' && line.text.starts_with(kCashError) ? 1 : 0;
  }
  EXPECT_LE(failed, 1U);
}

TEST_F(DriverTest, PortZeroRunsWithoutDevice) {
  Host host;
  TNotavero& driver = StartDriver(0, host);
  EXPECT_FALSE(driver.IsOpen());
  // The failure of every cycle is written once, not ten times a second.
  const std::string line = kThreadError + "Port COM0 not open";
  // The driver counts its failed cycles: wait for several, then for the
  // line to be in the file (a file gives no event to wait on).
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while ((driver.Counters().failed_cycles < 6 || LogCount('?', line) < 1) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_GE(driver.Counters().failed_cycles, 6U);
  EXPECT_EQ(LogCount('?', line), 1U);
  EXPECT_EQ(driver.StatusText(), "");
  std::vector<char> text(8, 'x');
  EXPECT_EQ(driver.GetStatusText(text.data(), text.size()), 0U);
  EXPECT_EQ(text[0], '\0');
}

TEST_F(DriverTest, PortThatCannotBeOpenedFailsWithItsMessage) {
  ::setenv("NOTAVERO_COM9", (dir_ / "no-such-device").c_str(), 1);
  char error[256];
  std::memset(error, 'x', sizeof error);
  EXPECT_EQ(nv_get_driver(9, &Host::Callback, nullptr, error, sizeof error), nullptr);
  // The port's text first, then the device and the system's reason.
  EXPECT_EQ(std::string(error), Cp1251(u8"Невозможно открыть COM9").str() + " (" +
                                    (dir_ / "no-such-device").string() + ": No such file or directory)");
  // Cut to the buffer, NUL-terminated.
  char small[5];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(nv_get_driver(9, &Host::Callback, nullptr, small, sizeof small), nullptr);
  EXPECT_EQ(std::string(small), Cp1251(u8"Нево").str());
  EXPECT_THROW(TNotavero(9), EOpenPortFail);
  EXPECT_EQ(GetDriver(9, nullptr), nullptr) << "no exception crosses the library's boundary";
  EXPECT_FALSE(std::filesystem::exists(log_path_)) << "no log before a driver exists";
}

TEST_F(DriverTest, TwoDriversOnTwoPorts) {
  Host first;
  Host second;
  TNotavero& one = StartReady(7, first);
  SimServer& sim_one = *sims_.back();
  TNotavero& two = StartReady(8, second);
  SimServer& sim_two = *sims_.back();
  one.SetEnabled(true);
  two.SetEnabled(true);
  ASSERT_TRUE(sim_one.WaitForState(dsWaitingForBill, kWait));
  ASSERT_TRUE(sim_two.WaitForState(dsWaitingForBill, kWait));
  ASSERT_TRUE(sim_one.Insert(2).ok);
  ASSERT_TRUE(sim_two.Insert(6).ok);
  ASSERT_TRUE(first.WaitForCalls(2));
  ASSERT_TRUE(second.WaitForCalls(2));
  EXPECT_EQ(first.Calls()[1].amount, 100'000);
  EXPECT_EQ(second.Calls()[1].amount, 10'000'000);
  EXPECT_EQ(sim_one.Status().counters.stacked_sum, 10U);
  EXPECT_EQ(sim_two.Status().counters.stacked_sum, 1000U);
}

TEST_F(DriverTest, HostOperationsThroughTheCInterface) {
  SimServer& sim = StartSim(7);
  Host host;
  nv_driver* driver = nv_get_driver(7, &Host::Callback, &host, nullptr, 0);
  ASSERT_NE(driver, nullptr);
  unsigned char version[20];
  std::memset(version, 0xFF, sizeof version);
  nv_get_version(driver, version);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(version), 14), std::string("\x0Dv1.0#Notavero"));
  for (std::size_t i = 14; i < sizeof version; ++i) {
    EXPECT_EQ(version[i], 0xFF);
  }
  ASSERT_TRUE(sim.WaitForState(dsDisabled, kWait));
  ASSERT_TRUE(WaitForFrame(sim, kSecurity));
  ASSERT_TRUE(WaitForFrame(sim, kPoll, sim.TraceMark()));
  const std::string disabled = Cp1251(u8"Выключен").str();
  EXPECT_EQ(nv_get_status_text(driver, nullptr, 0), disabled.size());
  char text[64];
  EXPECT_EQ(nv_get_status_text(driver, text, sizeof text), disabled.size());
  EXPECT_EQ(std::string(text), disabled);
  char cut[4];
  EXPECT_EQ(nv_get_status_text(driver, cut, sizeof cut), disabled.size());
  EXPECT_EQ(std::string(cut), disabled.substr(0, 3));
  nv_set_enabled(driver, 1);
  EXPECT_TRUE(WaitForFrame(sim, kEnableAll));
  nv_free_driver(driver);
  nv_free_driver(nullptr);
}

// Destroying the driver ends every wait at once, in every state: an exchange
// in its reply wait is abandoned, not retried.
TEST_F(DriverTest, DestructionInEveryState) {
  Host host;
  SimServer& sim = StartSim(7);
  for (const std::string when : {"at once", "power up", "silent", "ready", "callback"}) {
    SCOPED_TRACE(when);
    ASSERT_TRUE(sim.Command("clear").ok);
    const std::size_t mark = sim.TraceMark();
    auto driver = std::make_unique<TNotavero>(7, TBillSink{nullptr, &Host::Callback, &host});
    if (when == "power up") {
      ASSERT_TRUE(WaitForFrame(sim, kPoll, mark));
    } else if (when == "silent") {
      ASSERT_TRUE(WaitForFrame(sim, kSecurity, mark));
      ASSERT_TRUE(sim.Command("silent 100").ok);
      const std::size_t silent = sim.TraceMark();
      ASSERT_TRUE(WaitForFrame(sim, kPoll, silent));
      driver.reset();
      EXPECT_EQ(Count(SentByDriver(sim, silent), kPoll), 1U);
    } else if (when == "ready") {
      ASSERT_TRUE(WaitForFrame(sim, kSecurity, mark));
    } else if (when == "callback") {
      ASSERT_TRUE(WaitForFrame(sim, kSecurity, mark));
      driver->SetEnabled(true);
      ASSERT_TRUE(sim.WaitForState(dsWaitingForBill, kWait));
      host.HoldEscrow();
      ASSERT_TRUE(sim.Insert(3).ok);
      ASSERT_TRUE(host.WaitUntilHeld());
      // The destructor waits for the callback that is running.
      std::thread releaser([&host] { host.Release(); });
      driver.reset();
      releaser.join();
    }
    driver.reset();
    ASSERT_TRUE(sim.PowerCycle().ok);
  }
}

// A reply that comes after the exchange's time-out lands in a later
// exchange.  Taken as the answer to the later frame and acknowledged, it
// made the device drop an event the driver never read (a stacked bill lost)
// or report one twice (a bill credited twice).  On a line paced like the
// real one, each fault below is placed at the moment that cost money.
struct LateReplyCase {
  const char* name;
  uint8_t bill_type;
  uint8_t fault_state;             // the device state at which the fault is set
  const std::string* fault_frame;  // or: the driver's frame after which it is set
  const char* fault;
};

class StaleReplyTest : public DriverTest, public ::testing::WithParamInterface<LateReplyCase> {};

TEST_P(StaleReplyTest, CreditsExactlyWhatTheDeviceStacked) {
  const LateReplyCase& c = GetParam();
  Host host;
  sim::SimOptions options;
  options.start_disabled = true;
  SimServer& line = StartSim(7, options, /*fast=*/false);  // paced like a real line
  TNotavero& driver = StartDriver(7, host);
  ASSERT_TRUE(WaitForFrame(line, kSecurity));
  driver.SetEnabled(true);
  ASSERT_TRUE(line.WaitForState(dsWaitingForBill, kWait));
  const std::size_t mark = line.TraceMark();
  ASSERT_TRUE(line.Insert(c.bill_type).ok);
  if (c.fault_frame != nullptr) {
    ASSERT_TRUE(WaitForFrame(line, *c.fault_frame, mark));
  } else {
    ASSERT_TRUE(line.WaitForState(c.fault_state, kWait));
  }
  ASSERT_TRUE(line.Command(c.fault).ok);
  const auto fault_time = sim::SimClock::now();
  // The bill is credited, and every late reply has landed: a poll sent well after.
  ASSERT_TRUE(host.WaitForCalls(2));
  ASSERT_TRUE(line.WaitForTrace(
      [&](const TraceEntry& entry) {
        return entry.direction == Direction::kReceived && Hex(entry.bytes) == kPoll &&
               entry.time > fault_time + std::chrono::seconds(8);
      },
      3 * kWait, mark));
  drivers_.clear();
  const auto status = line.Status();
  int64_t credited = 0;
  for (const auto& call : host.Calls()) {
    credited += call.kind == NV_BILL_STACKED ? call.amount : 0;
  }
  EXPECT_EQ(status.counters.stacked, 1U) << c.name;
  EXPECT_EQ(credited, static_cast<int64_t>(status.counters.stacked_sum) * 10'000) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StaleReplyTest,
    ::testing::Values(LateReplyCase{"DelayAfterStack", 6, 0, &kStack, "delay 2100 2"},
                      LateReplyCase{"DelayOnStacked", 5, dsStacked, nullptr, "delay 2100 2"},
                      LateReplyCase{"NoiseAfterStack", 6, 0, &kStack, "garbage 3000"}),
    [](const ::testing::TestParamInfo<LateReplyCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace notavero
