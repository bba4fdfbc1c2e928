// Money in every path: the driver against the simulated validator on a
// scripted line, where a test decides exactly what the device hears and
// answers.  Each case is one a host lost money to, or could have.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/cp1251.h"
#include "driver/notavero.h"
#include "driver/notavero_unit.h"
#include "tests/driver/driver_log_test.h"
#include "tests/driver/frames.h"
#include "tests/driver/model_line.h"
#include "tests/driver/recording_host.h"

namespace notavero {
namespace {

using namespace testing;  // NOLINT(google-build-using-namespace): the tests' own helpers
using namespace std::chrono_literals;

constexpr CurrencyAmount k100 = 1'000'000;  // bill type 4 of the simulator's table
constexpr CurrencyAmount k500 = 5'000'000;  // bill type 5

using Host = testing::RecordingHost;

// Feeds frames straight to the model, as a host before this one did.
void Feed(sim::DeviceModel& model, const Bytes& frame, sim::SimTime now) {
  model.Receive(frame.data(), frame.size(), now);
}

// Polls the model (without acknowledging) until it reports `state`.
void PollUntil(sim::DeviceModel& model, uint8_t state, sim::SimTime now) {
  for (int i = 0; i < 20 && model.State() != state; ++i) {
    Feed(model, kPoll, now);
  }
  ASSERT_EQ(model.State(), state);
}

std::size_t CountOf(const std::vector<Bytes>& frames, const Bytes& frame, std::size_t since = 0) {
  return static_cast<std::size_t>(
      std::count(frames.begin() + static_cast<std::ptrdiff_t>(since), frames.end(), frame));
}

// Waits until `condition` holds, for a driver state that gives no event to
// wait on (its counters, its unconfirmed list).
bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + ModelLine::kTimeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

uint8_t StateOf(ModelLine& line) {
  return line.WithModel([&](sim::DeviceModel& model) { return model.State(); });
}

// Answers the line's next polls from a script, in order: nullopt lets the
// device answer, an empty frame drops the poll unheard, any other frame is
// sent instead.  Polls past the script go to the device.  Returns the count
// of polls seen so far.
std::shared_ptr<std::atomic<int>> ScriptPolls(ModelLine& line, std::vector<std::optional<Bytes>> script) {
  auto polls = std::make_shared<std::atomic<int>>(0);
  line.SetHook(
      [polls, script = std::move(script)](const Bytes& frame, sim::DeviceModel&) -> std::optional<Bytes> {
        if (frame != kPoll) {
          return std::nullopt;
        }
        const auto n = static_cast<std::size_t>(polls->fetch_add(1));
        return n < script.size() ? script[n] : std::nullopt;
      });
  return polls;
}

class MoneyTest : public testing::DriverLogTest {
 protected:
  // A driver that has read the table of a device starting disabled.
  std::unique_ptr<TNotavero> StartReady(ModelLine& line, Host& host) {
    auto driver = line.Driver(host.Sink());
    EXPECT_TRUE(line.WaitForFrame(kSecurity));
    return driver;
  }

  // Enables acceptance and inserts a bill once the device waits for one.
  static void EnableAndInsert(TNotavero& driver, ModelLine& line, uint8_t bill_type) {
    driver.SetEnabled(true);
    ASSERT_TRUE(line.WaitForState(dsWaitingForBill));
    line.WithModel([&](sim::DeviceModel& model) { return model.Insert(bill_type, line.Now()); });
  }
};

const sim::ModelOptions kStartDisabled{.start_disabled = true};

TEST_F(MoneyTest, DeviceLeftAcceptingIsDisabledAndABillOfUnknownValueGoesBack) {
  // The host before this one left acceptance on, and a customer's bill is
  // on its way to escrow when this driver starts.
  ModelLine line(kStartDisabled);
  line.WithModel([&](sim::DeviceModel& model) {
    Feed(model, kEnableAll, line.Now());
    return model.Insert(4, line.Now());
  });
  Host host;
  auto driver = line.Driver(host.Sink());
  const auto returned = line.WaitForFrame(kReturn);
  ASSERT_TRUE(returned);
  const auto disabled = line.WaitForFrame(kDisableAll, *returned);
  ASSERT_TRUE(disabled) << "acceptance stays on though nobody asked for it";
  ASSERT_TRUE(line.WaitForFrame(kSecurity));
  ASSERT_TRUE(line.WaitForState(dsDisabled));
  EXPECT_TRUE(host.Calls().empty()) << "the host was offered a bill whose value the driver did not know";
  EXPECT_TRUE(LogHasPrefix(Cp1251(u8"Купюра неизвестного номинала возвращена без запроса: тип 04").str()));

  // Once the host asks, bills are taken at their value.
  EnableAndInsert(*driver, line, 5);
  ASSERT_TRUE(host.WaitForCalls(2));
  EXPECT_EQ(host.Calls(), (std::vector<Host::Call>{{NV_BILL_ESCROW, k500}, {NV_BILL_STACKED, k500}}));
  const auto counters = line.WithModel([&](sim::DeviceModel& model) { return model.Counters(); });
  EXPECT_EQ(counters.returned_by_type[4], 1U);
  EXPECT_EQ(counters.stacked_sum, 500U);
}

// A device that holds a stacked report of a bill taken under an earlier host.
void HoldStackedFromEarlierHost(ModelLine& line) {
  line.WithModel([&](sim::DeviceModel& model) {
    Feed(model, kEnableAll, line.Now());
    model.Insert(4, line.Now());
    PollUntil(model, dsEscrow, line.Now());
    Feed(model, kStack, line.Now());
    PollUntil(model, dsStacked, line.Now());
    return 0;
  });
}

TEST_F(MoneyTest, StackedEventFromBeforeTheTableIsHeldThenCreditedAtItsValue) {
  // A bill stacked under an earlier host, whose event was never acknowledged.
  ModelLine line(kStartDisabled);
  HoldStackedFromEarlierHost(line);
  Host host;
  auto driver = line.Driver(host.Sink());
  ASSERT_TRUE(host.WaitForCalls(1));
  EXPECT_EQ(host.Calls(), (std::vector<Host::Call>{{NV_BILL_STACKED, k100}}));
  const auto frames = line.Frames();
  const auto first_other =
      std::find_if(frames.begin(), frames.end(), [](const Bytes& f) { return f != kPoll; });
  ASSERT_NE(first_other, frames.end());
  EXPECT_EQ(*first_other, kGetStatus) << "the event was acknowledged before its value was known";
  // Acceptance that nobody asked for goes off after the event.
  EXPECT_TRUE(line.WaitForFrame(kDisableAll));
}

TEST_F(MoneyTest, StackedEventRepeatedAfterALostAcknowledgeIsCreditedOnce) {
  ModelLine line(kStartDisabled);
  Host host;
  auto driver = StartReady(line, host);
  bool stacked_reported = false;
  bool lost = false;
  line.SetHook([&](const Bytes& frame, sim::DeviceModel& model) -> std::optional<Bytes> {
    if (frame == kAck && stacked_reported && !lost) {
      lost = true;
      return Bytes{};  // the acknowledge of the stacked event never reaches the device
    }
    stacked_reported = frame == kPoll && model.State() == dsStacked;
    return std::nullopt;
  });
  EnableAndInsert(*driver, line, 4);
  ASSERT_TRUE(host.WaitForCalls(2));
  // The device reports the event again; it is acknowledged and goes.
  ASSERT_TRUE(line.WaitForState(dsWaitingForBill));
  ASSERT_TRUE(line.WaitForFrame(kPoll, line.Frames().size()));
  driver.reset();
  EXPECT_TRUE(lost);
  EXPECT_EQ(host.Calls(), (std::vector<Host::Call>{{NV_BILL_ESCROW, k100}, {NV_BILL_STACKED, k100}}));
  EXPECT_TRUE(LogHasPrefix(Cp1251(u8"Повтор события без новой купюры, не зачисляется: 81-04").str()));
}

TEST_F(MoneyTest, BillThatVanishesAfterStackIsListedForReconciliation) {
  ModelLine line(kStartDisabled);
  Host host;
  auto driver = StartReady(line, host);
  // The device loses power while the bill is on its way to the cassette.
  line.SetHook([&](const Bytes& frame, sim::DeviceModel& model) -> std::optional<Bytes> {
    if (frame == kPoll && model.State() == dsStacking) {
      model.PowerCycle(dsPowerUp, line.Now());
    }
    return std::nullopt;
  });
  EnableAndInsert(*driver, line, 4);
  const auto stack = line.WaitForFrame(kStack);
  ASSERT_TRUE(stack);
  ASSERT_TRUE(line.WaitForFrame(kReset, *stack));
  ASSERT_TRUE(line.WaitForFrame(kSecurity, *stack));  // after the reset, so the outcome was judged
  const auto unconfirmed = driver->UnconfirmedBills();
  ASSERT_EQ(unconfirmed.size(), 1U);
  EXPECT_EQ(unconfirmed[0].bill_type, 4);
  EXPECT_EQ(unconfirmed[0].amount, k100);
  EXPECT_EQ(host.Calls(), (std::vector<Host::Call>{{NV_BILL_ESCROW, k100}}));
  EXPECT_TRUE(LogHasPrefix(Cp1251(u8"Исход купюры не подтверждён устройством: тип 04, сумма 100").str()));
}

// A late acknowledge (0x00) or refusal (0xFF) of an earlier command taken in
// place of a poll's reply is no status: it is not acknowledged, publishes no
// state and writes no state line.
class LateReplyTest : public MoneyTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(LateReplyTest, IsNoStatus) {
  ModelLine line(kStartDisabled);
  Host host;
  auto driver = StartReady(line, host);
  ASSERT_TRUE(line.WaitForFrame(kPoll, line.Frames().size()));
  const std::string before = driver->StatusText();
  std::atomic<bool> answered{false};
  std::atomic<std::size_t> late{0};
  line.SetHook([&](const Bytes& frame, sim::DeviceModel&) -> std::optional<Bytes> {
    if (frame == kPoll && !answered.exchange(true)) {
      late.store(line.HookedFrame());
      return Frame({GetParam()});
    }
    return std::nullopt;
  });
  ASSERT_TRUE(WaitUntil([&] { return answered.load(); }));
  const auto next = line.WaitForFrame(kPoll, late.load() + 1);
  ASSERT_TRUE(next);
  EXPECT_EQ(*next, late.load() + 1) << "the stray frame was acknowledged";
  driver.reset();
  EXPECT_EQ(before, Cp1251(u8"Выключен").str());
  EXPECT_EQ(LogLinesWith("00-00"), 0U);
}

INSTANTIATE_TEST_SUITE_P(AcknowledgeAndRefusal, LateReplyTest, ::testing::Values(0x00, 0xFF));

TEST_F(MoneyTest, EscrowOfATypeWithoutValueGoesBackUnasked) {
  // Type 0 has no entry in the table; 24 lies past its end.
  for (const uint8_t bill_type : {uint8_t{0}, uint8_t{24}}) {
    ModelLine line(kStartDisabled);
    Host host;
    auto driver = StartReady(line, host);
    std::atomic<bool> answered{false};
    line.SetHook([&](const Bytes& frame, sim::DeviceModel&) -> std::optional<Bytes> {
      if (frame == kPoll && !answered.exchange(true)) {
        return Frame({dsEscrow, bill_type});
      }
      return std::nullopt;
    });
    ASSERT_TRUE(line.WaitForFrame(kReturn)) << "type " << int{bill_type};
    driver.reset();
    EXPECT_TRUE(host.Calls().empty()) << "type " << int{bill_type};
    EXPECT_EQ(CountOf(line.Frames(), kStack), 0U);
  }
}

TEST_F(MoneyTest, TableReadAnsweredByAnotherFrameIsReadAgain) {
  // A late reply to an earlier command answers the table request: without a
  // table every bill would go back, for as long as the driver runs.
  ModelLine line(kStartDisabled);
  std::atomic<bool> answered{false};
  line.SetHook([&](const Bytes& frame, sim::DeviceModel&) -> std::optional<Bytes> {
    if (frame == kGetBillTable && !answered.exchange(true)) {
      return Frame({dsDisabled});
    }
    return std::nullopt;
  });
  Host host;
  auto driver = line.Driver(host.Sink());
  const auto first = line.WaitForFrame(kGetBillTable);
  ASSERT_TRUE(first);
  ASSERT_TRUE(line.WaitForFrame(kGetBillTable, *first + 1)) << "the table was never asked for again";
  ASSERT_TRUE(line.WaitForFrame(kSecurity));
  EnableAndInsert(*driver, line, 5);
  ASSERT_TRUE(host.WaitForCalls(2));
  EXPECT_EQ(host.Calls(), (std::vector<Host::Call>{{NV_BILL_ESCROW, k500}, {NV_BILL_STACKED, k500}}));
}

TEST_F(MoneyTest, DisableRequestedWhileAnEnableIsSentIsNotLost) {
  ModelLine line(kStartDisabled);
  Host host;
  auto driver = StartReady(line, host);
  TNotavero* live = driver.get();
  // The host turns acceptance off again while the enable frame is on the
  // line, i.e. during the driver's pause after it.
  line.SetHook([live](const Bytes& frame, sim::DeviceModel&) -> std::optional<Bytes> {
    if (frame == kEnableAll) {
      live->SetEnabled(false);
    }
    return std::nullopt;
  });
  driver->SetEnabled(true);
  const auto enabled = line.WaitForFrame(kEnableAll);
  ASSERT_TRUE(enabled);
  EXPECT_TRUE(line.WaitForFrame(kDisableAll, *enabled))
      << "the disable was lost: the device keeps taking money";
  EXPECT_TRUE(line.WaitForState(dsDisabled));
}

TEST_F(MoneyTest, TwoUnansweredPollsAreRecoveredByTheThirdAttempt) {
  ModelLine line(kStartDisabled);
  Host host;
  auto driver = StartReady(line, host);
  const auto polls = ScriptPolls(line, {Bytes{}, Bytes{}});
  // Two silent polls, the answered third, and a cycle that ends well.
  ASSERT_TRUE(WaitUntil([&] { return polls->load() >= 3; }));
  ASSERT_TRUE(line.WaitForFrame(kAck, line.Frames().size()));
  driver.reset();
  EXPECT_FALSE(LogHasPrefix(Cp1251(u8"Ошибка в потоке: ").str()))
      << "the exchange gave up before its third attempt";
}

TEST_F(MoneyTest, DestructionDisablesAcceptance) {
  ModelLine line(kStartDisabled);
  Host host;
  auto driver = StartReady(line, host);
  driver->SetEnabled(true);
  ASSERT_TRUE(line.WaitForState(dsWaitingForBill));
  ASSERT_TRUE(line.WaitForFrame(kPoll, line.Frames().size()));
  driver.reset();
  const auto frames = line.Frames();
  EXPECT_EQ(frames.back(), kDisableAll);
  EXPECT_EQ(StateOf(line), dsDisabled);
}

TEST_F(MoneyTest, ReleaseFromTheCallbackReturnsAndSendsNoDecision) {
  ModelLine line(kStartDisabled);
  Host host;
  auto* driver = StartReady(line, host).release();
  std::atomic<bool> returned{false};
  host.OnEscrow([&] {
    driver->Release();  // what nv_free_driver does
    returned.store(true);
  });
  EnableAndInsert(*driver, line, 4);
  ASSERT_TRUE(host.WaitForCalls(1));
  ASSERT_TRUE(line.WaitClosed()) << "the driver did not release itself";
  EXPECT_TRUE(returned.load());
  const auto frames = line.Frames();
  EXPECT_EQ(CountOf(frames, kStack) + CountOf(frames, kReturn), 0U);
  EXPECT_EQ(frames.back(), kDisableAll);
  EXPECT_EQ(host.Calls().size(), 1U);
}

// ---- Money across a driver's boundaries: replaced drivers, frees, power
// cuts, re-initialisation.  A stacked report the driver saw ends credited
// once or listed as unconfirmed with its value, never silence.

TEST_F(MoneyTest, ForeignStackedReportWithALostAcknowledgeIsAnnouncedAndCreditedOnce) {
  ModelLine line(kStartDisabled);
  HoldStackedFromEarlierHost(line);
  std::atomic<bool> lost{false};
  bool reported = false;  // the last poll's reply was the stacked report
  // The report is first held for the table (no acknowledge), then credited;
  // the acknowledge after the host's callback never reaches the device once.
  line.SetHook([&](const Bytes& frame, sim::DeviceModel& model) -> std::optional<Bytes> {
    const bool drop = frame == kAck && reported && !lost.exchange(true);
    reported = frame == kPoll && model.State() == dsStacked;
    return drop ? std::optional<Bytes>(Bytes{}) : std::nullopt;
  });
  Host host;
  auto driver = line.Driver(host.CSink(NV_OPT_ACK_AFTER_CALLBACK));
  ASSERT_TRUE(host.WaitForCalls(2));
  ASSERT_TRUE(WaitUntil([&] { return StateOf(line) != dsStacked; }));
  ASSERT_TRUE(line.WaitForFrame(kPoll, line.Frames().size()));
  driver.reset();
  EXPECT_TRUE(lost.load());
  EXPECT_EQ(host.Calls(),
            (std::vector<Host::Call>{{Host::kEventBase + NV_EVENT_FOREIGN_OUTCOME, NV_BILL_STACKED},
                                     {NV_BILL_STACKED, k100}}));
  EXPECT_TRUE(LogHasPrefix(Cp1251(u8"Повтор события без новой купюры, не зачисляется: 81-04").str()));
}

TEST_F(MoneyTest, OutcomeRepeatedToTheNextDriverOnThePortIsNotCreditedAgain) {
  ModelLine line(kStartDisabled);
  Host host;
  auto driver = StartReady(line, host);
  // The acknowledge of the stacked report is lost, and the line stays dead
  // until the host has replaced the driver (as after NO_ANSWER).
  std::atomic<bool> dead{false};
  bool reported = false;  // the last poll's reply was the stacked report
  line.SetHook([&](const Bytes& frame, sim::DeviceModel& model) -> std::optional<Bytes> {
    if (frame == kAck && reported) {
      dead.store(true);
    }
    reported = frame == kPoll && model.State() == dsStacked;
    return dead.load() ? std::optional<Bytes>(Bytes{}) : std::nullopt;
  });
  EnableAndInsert(*driver, line, 4);
  ASSERT_TRUE(host.WaitForCalls(2));
  driver.reset();
  line.SetHook(nullptr);
  line.NewLine();
  driver = line.Driver(host.Sink());
  ASSERT_TRUE(WaitUntil([&] { return StateOf(line) != dsStacked; }));
  driver.reset();
  EXPECT_EQ(host.Calls(), (std::vector<Host::Call>{{NV_BILL_ESCROW, k100}, {NV_BILL_STACKED, k100}}));
  EXPECT_EQ(line.WithModel([&](sim::DeviceModel& m) { return m.Counters().stacked; }), 1U);
  EXPECT_TRUE(LogHasPrefix(Cp1251(u8"Повтор события без новой купюры, не зачисляется: 81-04").str()));
}

TEST_F(MoneyTest, AcknowledgeAfterTheCallbackWaitsForTheRecordAndRetries) {
  ModelLine line(kStartDisabled);
  Host host;
  auto driver = line.Driver(host.CSink(NV_OPT_ACK_AFTER_CALLBACK));
  ASSERT_TRUE(line.WaitForFrame(kSecurity));
  std::vector<Bytes> at_first_call;
  int calls = 0;
  // The first record fails (a full disk): the device must still hold the report.
  host.OnOutcome([&] {
    if (++calls == 1) {
      at_first_call = line.Frames();
      return static_cast<int>(NV_OUTCOME_RETRY);
    }
    return 0;
  });
  EnableAndInsert(*driver, line, 4);
  ASSERT_TRUE(host.WaitForCalls(3));
  ASSERT_TRUE(WaitUntil([&] { return StateOf(line) != dsStacked; }));
  const TDriverCounters counters = driver->Counters();
  driver.reset();
  ASSERT_FALSE(at_first_call.empty());
  EXPECT_EQ(at_first_call.back(), kPoll)
      << "the device was told to forget the bill before the host recorded it";
  EXPECT_EQ(host.Calls(), (std::vector<Host::Call>{
                              {NV_BILL_ESCROW, k100}, {NV_BILL_STACKED, k100}, {NV_BILL_STACKED, k100}}));
  EXPECT_EQ(counters.stacked_amount, k100) << "counted once, when recorded";
}

TEST_F(MoneyTest, StackedBillTheDeviceDropsForWaitingIsListedWithItsAmount) {
  ModelLine line(kStartDisabled);
  Host host;
  auto driver = StartReady(line, host);
  // The bill goes to the stacker, then the device reports waiting again as
  // if nothing had happened.
  std::atomic<bool> stacked{false};
  line.SetHook([&](const Bytes& frame, sim::DeviceModel&) -> std::optional<Bytes> {
    if (frame == kStack) {
      stacked.store(true);
    } else if (frame == kPoll && stacked.load()) {
      return Frame({dsWaitingForBill});
    }
    return std::nullopt;
  });
  EnableAndInsert(*driver, line, 4);
  ASSERT_TRUE(WaitUntil([&] { return !driver->UnconfirmedBills().empty(); }));
  const auto unconfirmed = driver->UnconfirmedBills();
  driver.reset();
  ASSERT_EQ(unconfirmed.size(), 1U);
  EXPECT_EQ((std::pair{unconfirmed[0].bill_type, unconfirmed[0].amount}), (std::pair{uint8_t{4}, k100}));
  EXPECT_EQ(host.Calls(), (std::vector<Host::Call>{{NV_BILL_ESCROW, k100}}));
  EXPECT_TRUE(LogHasPrefix(Cp1251(u8"Исход купюры не подтверждён устройством: тип 04, сумма 100").str()));
}

TEST_F(MoneyTest, HeldStackedReportLostInAPowerCutIsListedWithItsAmount) {
  // The report waits unacknowledged for the table; the device loses power
  // just after the security command.
  ModelLine line(kStartDisabled);
  HoldStackedFromEarlierHost(line);
  std::atomic<bool> cut{false};
  line.SetHook([&](const Bytes& frame, sim::DeviceModel& model) -> std::optional<Bytes> {
    if (frame == kSecurity && !cut.exchange(true)) {
      model.Receive(frame.data(), frame.size(), line.Now());
      model.PowerCycle(dsPowerUp, line.Now());
      return Bytes{};
    }
    return std::nullopt;
  });
  Host host;
  auto driver = line.Driver(host.CSink());
  ASSERT_TRUE(line.WaitForFrame(kReset));
  ASSERT_TRUE(WaitUntil([&] { return !driver->UnconfirmedBills().empty(); }));
  const auto unconfirmed = driver->UnconfirmedBills();
  driver.reset();
  ASSERT_EQ(unconfirmed.size(), 1U);
  EXPECT_EQ((std::pair{unconfirmed[0].bill_type, unconfirmed[0].amount}), (std::pair{uint8_t{4}, k100}));
  EXPECT_EQ(host.Calls(), (std::vector<Host::Call>{{Host::kEventBase + NV_EVENT_UNCONFIRMED, 4}}));
  EXPECT_TRUE(LogHasPrefix(Cp1251(u8"Исход купюры не подтверждён устройством: тип 04, сумма 100").str()));
}

TEST_F(MoneyTest, FreeWithABillOnItsWayFollowsItToItsOutcomeOrListsIt) {
  for (const bool device_answers : {true, false}) {
    SCOPED_TRACE(device_answers ? "the device stacks the bill" : "the device falls silent");
    ModelLine line(kStartDisabled);
    Host host;
    auto driver = line.Driver(host.CSink());
    ASSERT_TRUE(line.WaitForFrame(kSecurity));
    std::atomic<bool> silent{false};
    line.SetHook([&](const Bytes& frame, sim::DeviceModel&) -> std::optional<Bytes> {
      if (frame == kStack && !device_answers) {
        silent.store(true);
        return std::nullopt;
      }
      return silent.load() ? std::optional<Bytes>(Bytes{}) : std::nullopt;
    });
    EnableAndInsert(*driver, line, 4);
    ASSERT_TRUE(line.WaitForFrame(kStack));
    driver.reset();  // the host's thread frees the driver right after the Stack
    const auto calls = host.Calls();
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_EQ(calls[1], device_answers ? (Host::Call{NV_BILL_STACKED, k100})
                                       : (Host::Call{Host::kEventBase + NV_EVENT_UNCONFIRMED, 4}));
    EXPECT_EQ(line.WithModel([&](sim::DeviceModel& m) { return m.Counters().stacked; }),
              device_answers ? 1U : 0U);
  }
  EXPECT_TRUE(LogHasPrefix(Cp1251(u8"Исход купюры не подтверждён устройством: тип 04, сумма 100").str()));
}

TEST_F(MoneyTest, EnableDuringReinitialisationWaitsForTheTable) {
  ModelLine line(kStartDisabled);
  Host host;
  auto driver = StartReady(line, host);
  TNotavero* live = driver.get();
  std::atomic<bool> asked{false};
  // The host asks for acceptance while the device initialises after a power cut.
  line.SetHook([&](const Bytes& frame, sim::DeviceModel& model) -> std::optional<Bytes> {
    if (frame == kPoll && model.State() == dsInitializing && !asked.exchange(true)) {
      live->SetEnabled(true);
    }
    return std::nullopt;
  });
  const std::size_t mark = line.Frames().size();
  line.WithModel([&](sim::DeviceModel& model) {
    model.PowerCycle(dsPowerUp, line.Now());
    return 0;
  });
  ASSERT_TRUE(line.WaitForFrame(kGetBillTable, mark)) << "the table was not read again";
  ASSERT_TRUE(line.WaitForState(dsWaitingForBill));
  line.WithModel([&](sim::DeviceModel& model) { return model.Insert(4, line.Now()); });
  ASSERT_TRUE(host.WaitForCalls(2));
  EXPECT_TRUE(asked.load());
  EXPECT_EQ(host.Calls(), (std::vector<Host::Call>{{NV_BILL_ESCROW, k100}, {NV_BILL_STACKED, k100}}));
}

TEST_F(MoneyTest, AcceptanceRequestOfACHostStandsAcrossPowerCuts) {
  ModelLine line;  // the device starts in power-up
  Host host;
  auto driver = line.Driver(host.CSink());
  driver->SetEnabled(true);  // at once, as the README's example does
  ASSERT_TRUE(line.WaitForState(dsWaitingForBill));
  line.WithModel([&](sim::DeviceModel& model) {
    model.PowerCycle(dsPowerUp, line.Now());
    return 0;
  });
  ASSERT_TRUE(line.WaitForFrame(kReset, 1));
  ASSERT_TRUE(line.WaitForState(dsWaitingForBill)) << "acceptance did not come back after the power cut";
  line.WithModel([&](sim::DeviceModel& model) { return model.Insert(5, line.Now()); });
  ASSERT_TRUE(host.WaitForCalls(2));
  EXPECT_EQ(host.Calls(), (std::vector<Host::Call>{{NV_BILL_ESCROW, k500}, {NV_BILL_STACKED, k500}}));
}

TEST_F(MoneyTest, DeviceLeftAcceptingIsReadBeforeAStandingRequestTurnsItOn) {
  // A host killed with acceptance on; its successor asks for acceptance at
  // once.  The table is read only in the disabled state: without it the
  // first bill would go back unoffered.
  ModelLine line(kStartDisabled);
  line.WithModel([&](sim::DeviceModel& model) {
    Feed(model, kEnableAll, line.Now());
    return 0;
  });
  Host host;
  auto driver = line.Driver(host.CSink());
  driver->SetEnabled(true);
  const auto table = line.WaitForFrame(kGetBillTable);
  ASSERT_TRUE(table) << "the table was never read";
  ASSERT_TRUE(line.WaitForFrame(kEnableAll, *table));
  ASSERT_TRUE(line.WaitForState(dsWaitingForBill));
  line.WithModel([&](sim::DeviceModel& model) { return model.Insert(4, line.Now()); });
  ASSERT_TRUE(host.WaitForCalls(2));
  EXPECT_EQ(host.Calls(), (std::vector<Host::Call>{{NV_BILL_ESCROW, k100}, {NV_BILL_STACKED, k100}}));
}

TEST_F(MoneyTest, EnableOfAGetDriverHostBeforeTheTableIsUsedUpAndLogged) {
  ModelLine line;  // the device starts in power-up
  Host host;
  std::unique_ptr<TNotavero> driver;
  {
    const FakeClock::StandStill still(line.Clock());  // the request comes before any table
    driver = line.Driver(host.Sink());
    driver->SetEnabled(true);
  }
  ASSERT_TRUE(line.WaitForFrame(kSecurity));
  ASSERT_TRUE(line.WaitForFrame(kPoll, line.Frames().size()));
  driver.reset();
  EXPECT_EQ(CountOf(line.Frames(), kEnableAll), 0U);
  EXPECT_TRUE(LogHasPrefix(Cp1251(u8"Включение приёма до чтения таблицы купюр").str()));
}

TEST_F(MoneyTest, FreeAfterAFailedCycleStillDisablesAcceptance) {
  ModelLine line(kStartDisabled);
  Host host;
  auto driver = StartReady(line, host);
  driver->SetEnabled(true);
  ASSERT_TRUE(line.WaitForState(dsWaitingForBill));
  ScriptPolls(line, {Bytes{}, Bytes{}, Bytes{}});
  ASSERT_TRUE(WaitUntil([&] { return driver->Counters().failed_cycles >= 1; }));
  driver.reset();
  EXPECT_EQ(line.Frames().back(), kDisableAll);
  EXPECT_EQ(StateOf(line), dsDisabled);
}

TEST_F(MoneyTest, ReplyOfAnotherLengthAfterATimeOutIsNoStatus) {
  ModelLine line(kStartDisabled);
  Host host;
  auto driver = StartReady(line, host);
  // A whole cycle unanswered, then a status reply (11 bytes) that arrives
  // late, in place of a poll's.
  const auto polls = ScriptPolls(line, {Bytes{}, Bytes{}, Bytes{}, Frame({0, 0, 0, 0, 0, 0x19, 0, 0})});
  ASSERT_TRUE(WaitUntil([&] { return polls->load() >= 6; }));
  driver.reset();
  EXPECT_EQ(LogLinesWith("00-00"), 0U);
}

// ---- Short-lived drivers.  A host that replaces its driver quickly (a
// watchdog, a kiosk page reloaded) must not credit a bill twice, however
// briefly each driver lives and whatever name it opens the device by.

// Makes the acknowledge of the next stacked report never reach the device,
// and every frame after it too when `dead` (the line fails until the host
// replaces the driver).
void LoseTheStackedAcknowledge(ModelLine& line, bool dead) {
  auto reported = std::make_shared<bool>(false);  // the last poll's reply was the stacked report
  auto lost = std::make_shared<std::atomic<bool>>(false);
  line.SetHook([reported, lost, dead](const Bytes& frame, sim::DeviceModel& model) -> std::optional<Bytes> {
    const bool drop = (frame == kAck && *reported && !lost->exchange(true)) || (dead && lost->load());
    *reported = frame == kPoll && model.State() == dsStacked;
    return drop ? std::optional<Bytes>(Bytes{}) : std::nullopt;
  });
}

TEST_F(MoneyTest, OutcomeRepeatedAcrossShortLivedDriversIsCreditedOnce) {
  enum class Life {
    kFreedAtOnce,                 // freed as soon as it is made
    kFreedOnASilentLine,          // the device answers nothing while it lives
    kFreedAfterItsOwnAckWasLost,  // it sees the repeat, and its acknowledge is lost too
    kNextOpenedByAnotherName,     // the next driver opens the device by a link's name
  };
  for (const Life life : {Life::kFreedAtOnce, Life::kFreedOnASilentLine, Life::kFreedAfterItsOwnAckWasLost,
                          Life::kNextOpenedByAnotherName}) {
    SCOPED_TRACE("life of the second driver: " + std::to_string(static_cast<int>(life)));
    ModelLine line(kStartDisabled);
    // Each case its own device: the hand-over between drivers is process-wide.
    const std::string identity = "char 250:" + std::to_string(static_cast<int>(life));
    line.Line().identity = identity;
    Host host;
    auto driver = StartReady(line, host);
    LoseTheStackedAcknowledge(line, true);
    EnableAndInsert(*driver, line, 4);
    ASSERT_TRUE(host.WaitForCalls(2));
    driver.reset();
    ASSERT_EQ(StateOf(line), dsStacked) << "the device was meant to keep the report";

    line.NewLine();
    line.Line().identity = identity;
    const std::size_t mark = line.Frames().size();
    switch (life) {
      case Life::kFreedAtOnce:
        // The dead line's hook stays: on a loaded machine the driver may
        // still poll before it goes, and nothing it sends may reach the
        // device.
        driver = line.Driver(host.Sink());
        break;
      case Life::kFreedOnASilentLine:  // the dead line's hook stays
        driver = line.Driver(host.Sink());
        ASSERT_TRUE(line.WaitForFrame(kPoll, mark));
        break;
      case Life::kFreedAfterItsOwnAckWasLost:
        LoseTheStackedAcknowledge(line, true);
        driver = line.Driver(host.Sink());
        ASSERT_TRUE(WaitUntil([&] { return CountOf(line.Frames(), kAck, mark) >= 3; }));
        break;
      case Life::kNextOpenedByAnotherName:
        line.SetHook(nullptr);
        break;
    }
    driver.reset();
    ASSERT_EQ(StateOf(line), dsStacked) << "the device was meant to keep the report";

    line.NewLine();
    line.Line().identity = identity;
    line.SetHook(nullptr);
    driver = std::make_unique<TNotavero>("/dev/serial/by-id/usb-validator-if00", host.Sink(), line.Device(),
                                         TTimings{}, line.Clock());
    ASSERT_TRUE(WaitUntil([&] { return StateOf(line) != dsStacked; }));
    driver.reset();
    EXPECT_EQ(host.Calls(), (std::vector<Host::Call>{{NV_BILL_ESCROW, k100}, {NV_BILL_STACKED, k100}}));
    EXPECT_EQ(line.WithModel([&](sim::DeviceModel& m) { return m.Counters().stacked; }), 1U);
  }
}

TEST_F(MoneyTest, FreeSpendsAPollToConfirmTheLastAcknowledge) {
  // A clean free leaves nothing for the next process to repeat: the
  // acknowledge of the last report was lost, and the free takes the polls
  // that see the repeat and acknowledge it again.
  ModelLine line(kStartDisabled);
  line.Line().identity = "char 251:1";
  Host host;
  auto driver = StartReady(line, host);
  LoseTheStackedAcknowledge(line, false);
  EnableAndInsert(*driver, line, 4);
  ASSERT_TRUE(host.WaitForCalls(2));
  driver.reset();
  EXPECT_NE(StateOf(line), dsStacked) << "the device still holds a report the host credited";
  EXPECT_EQ(host.Calls(), (std::vector<Host::Call>{{NV_BILL_ESCROW, k100}, {NV_BILL_STACKED, k100}}));
}

// Set by the driver's destructor as it begins to wind down (a test seam).
struct WindDownSignal {
  static inline std::mutex mutex;
  static inline std::condition_variable changed;
  static inline bool begun = false;
  static void Begun() {
    {
      const std::lock_guard lock(mutex);
      begun = true;
    }
    changed.notify_all();
  }
  static bool Wait() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, ModelLine::kTimeout, [] { return begun; });
  }
};

TEST_F(MoneyTest, FreeWithABillInEscrowReturnsItAndTellsTheHost) {
  // The host frees the driver just as the device reports a bill in escrow,
  // before the driver has asked anybody about it.
  ModelLine line(kStartDisabled);
  line.Line().identity = "char 251:2";
  Host host;
  auto driver = line.Driver(host.CSink());
  ASSERT_TRUE(line.WaitForFrame(kSecurity));
  WindDownSignal::begun = false;
  testing_seams::on_wind_down.store(&WindDownSignal::Begun);
  bool reported = false;  // the last poll's reply was the escrow
  std::atomic<bool> held{false};
  line.SetHook([&](const Bytes& frame, sim::DeviceModel& model) -> std::optional<Bytes> {
    if (frame == kAck && reported && !held.exchange(true)) {
      // The acknowledge of the escrow: time stands still until the free
      // has begun, so the driver cannot go on to ask the host first.  (The
      // hook holds the line's lock meanwhile: the test does not touch it.)
      const FakeClock::StandStill still(line.Clock());
      WindDownSignal::Wait();
    }
    reported = frame == kPoll && model.State() == dsEscrow;
    return std::nullopt;
  });
  EnableAndInsert(*driver, line, 4);
  ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
  driver.reset();
  testing_seams::on_wind_down.store(nullptr);
  line.SetHook(nullptr);
  const auto device = line.WithModel([&](sim::DeviceModel& m) { return m.Counters(); });
  EXPECT_NE(StateOf(line), dsEscrow) << "the bill was left in escrow";
  EXPECT_EQ((std::pair{device.stacked, device.returned}), (std::pair{uint64_t{0}, uint64_t{1}}));
  EXPECT_EQ(host.Calls(),
            (std::vector<Host::Call>{{Host::kEventBase + NV_EVENT_FOREIGN_OUTCOME, NV_BILL_RETURNED},
                                     {NV_BILL_RETURNED, k100}}))
      << "the host was asked about the bill, or did not hear it go back";
}

TEST_F(MoneyTest, ReleaseFromARetryCallbackIsTheLastCallAndTheNextDriverCreditsOnce) {
  ModelLine line(kStartDisabled);
  line.Line().identity = "char 251:3";
  Host host;
  auto* driver = line.Driver(host.CSink(NV_OPT_ACK_AFTER_CALLBACK)).release();
  ASSERT_TRUE(line.WaitForFrame(kSecurity));
  std::atomic<bool> released{false};
  host.OnOutcome([&] {
    if (!released.exchange(true)) {
      driver->Release();  // what nv_free_driver does from the callback
    }
    return static_cast<int>(NV_OUTCOME_RETRY);
  });
  EnableAndInsert(*driver, line, 4);
  ASSERT_TRUE(line.WaitClosed()) << "the driver did not release itself";
  const auto at_release = host.Calls();
  EXPECT_EQ(at_release, (std::vector<Host::Call>{{NV_BILL_ESCROW, k100}, {NV_BILL_STACKED, k100}}))
      << "a callback came after the host released the driver";
  EXPECT_EQ(StateOf(line), dsStacked) << "the unrecorded report was meant to stay with the device";

  // The next driver offers it, once.
  host.OnOutcome(nullptr);
  line.NewLine();
  line.Line().identity = "char 251:3";
  auto next = line.Driver(host.CSink(NV_OPT_ACK_AFTER_CALLBACK));
  ASSERT_TRUE(host.WaitForCalls(at_release.size() + 2));
  ASSERT_TRUE(WaitUntil([&] { return StateOf(line) != dsStacked; }));
  next.reset();
  EXPECT_EQ(host.Credits(), (std::vector<int64_t>{k100, k100}))
      << "the first, refused, and the one the next driver offered";
  const auto calls = host.Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), Host::Call{Host::kEventBase + NV_EVENT_UNCONFIRMED, 4}),
            0);
  EXPECT_TRUE(LogHasPrefix(
      Cp1251(u8"Драйвер освобождён в обратном вызове: событие остаётся устройству: 81-04").str()));
}

TEST_F(MoneyTest, ReportTheHostCannotRecordIsOfferedAtTheDevicesPace) {
  ModelLine line(kStartDisabled);
  Host host;
  auto driver = line.Driver(host.CSink(NV_OPT_ACK_AFTER_CALLBACK));
  ASSERT_TRUE(line.WaitForFrame(kSecurity));
  std::mutex mutex;
  std::vector<sim::SimTime> offered;  // when each stacked callback came, on the line's clock
  host.OnOutcome([&] {
    const std::lock_guard lock(mutex);
    offered.push_back(line.Now());
    return static_cast<int>(offered.size() < 12 ? NV_OUTCOME_RETRY : 0);
  });
  EnableAndInsert(*driver, line, 4);
  ASSERT_TRUE(WaitUntil([&] {
    const std::lock_guard lock(mutex);
    return offered.size() >= 12;
  }));
  ASSERT_TRUE(WaitUntil([&] { return StateOf(line) != dsStacked; }));
  driver.reset();
  const std::lock_guard lock(mutex);
  for (std::size_t i = 1; i < offered.size(); ++i) {
    EXPECT_GE(offered[i] - offered[i - 1], TTimings{}.no_reply_pause)
        << "offer " << i << " came flat out after the one before";
  }
  EXPECT_EQ(LogLinesWith(Cp1251(u8"Хост не записал исход купюры").str()), 1U) << "said once a poll";
}

using CInterface = DriverLogTest;

TEST_F(CInterface, NullAndDeadHandlesAreIgnored) {
  char text[8] = "x";
  unsigned char version[16] = {0xAA};
  nv_free_driver(nullptr);
  nv_set_enabled(nullptr, 1);
  EXPECT_EQ(nv_get_status_text(nullptr, text, sizeof text), 0U);
  EXPECT_EQ(text[0], '\0');
  nv_get_version(nullptr, version);
  EXPECT_EQ(version[0], 0xAA);

  nv_driver* driver = nv_get_driver(0, nullptr, nullptr, nullptr, 0);
  ASSERT_NE(driver, nullptr);
  nv_get_version(driver, version);
  EXPECT_EQ(version[0], 13);
  nv_free_driver(driver);
  nv_free_driver(driver);  // freed twice
  nv_set_enabled(driver, 1);
  EXPECT_EQ(nv_get_status_text(driver, text, sizeof text), 0U);
  // A freed handle stays dead when a new driver takes the same address.
  for (int i = 0; i < 4; ++i) {
    nv_driver* next = nv_get_driver(0, nullptr, nullptr, nullptr, 0);
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next, driver);
    nv_set_enabled(driver, 1);
    EXPECT_EQ(nv_get_enabled(next), 0) << "a freed handle reached another driver";
    nv_free_driver(driver);
    nv_set_enabled(next, 1);
    EXPECT_EQ(nv_get_enabled(next), 1) << "freeing a dead handle freed another driver";
    nv_free_driver(next);
  }
  alignas(16) unsigned char garbage[256];
  std::fill(std::begin(garbage), std::end(garbage), 0x5A);
  nv_free_driver(reinterpret_cast<nv_driver*>(garbage));
  nv_set_enabled(reinterpret_cast<nv_driver*>(garbage), 1);
}

}  // namespace
}  // namespace notavero
