// A host that knows only driver/notavero.h: it opens the simulator by path
// and follows the device through events, link states and counters, also
// across a pulled and plugged line.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/cp1251.h"
#include "driver/notavero.h"
#include "sim/sim_server.h"
#include "tests/driver/driver_log_test.h"

namespace {

using namespace std::chrono_literals;
using notavero::sim::SimOptions;
using notavero::sim::SimServer;

constexpr auto kWait = 30s;  // generous: sanitizers on a loaded machine

constexpr int32_t kIdling = 0x14;
constexpr int32_t kDisabled = 0x19;
constexpr int32_t kEscrow = 0x80;
constexpr int32_t kStacked = 0x81;
constexpr int32_t kRejecting = 0x1C;

// What the host heard, in order: events and bill callbacks in one list.
struct Heard {
  bool bill = false;  // a bill callback (else an event)
  int32_t kind = 0;
  int64_t value = 0;       // the event's code or the bill's amount
  int32_t bill_type = -1;  // through on_bill_ex only
};

class Recorder {
 public:
  static void OnEvent(int32_t kind, int32_t code, void* user) {
    static_cast<Recorder*>(user)->Add({false, kind, code});
  }
  static int OnBillEx(const nv_bill* bill, void* user) {
    EXPECT_EQ(bill->size, sizeof(nv_bill));
    return Decide(bill->kind, bill->amount, bill->bill_type, static_cast<Recorder*>(user));
  }
  static int OnBill(int32_t kind, int64_t amount, void* user) {
    return Decide(kind, amount, -1, static_cast<Recorder*>(user));
  }
  static int Decide(int32_t kind, int64_t amount, int32_t bill_type, Recorder* self) {
    self->Add({true, kind, amount, bill_type});
    std::function<void()> on_escrow;
    int result = 0;
    {
      const std::lock_guard lock(self->mutex_);
      result = kind == NV_BILL_ESCROW && (self->escrows_++ % 2 == 0 || !self->alternate_) ? 1 : 0;
      on_escrow = kind == NV_BILL_ESCROW ? self->on_escrow_ : nullptr;
    }
    if (on_escrow) {
      on_escrow();
    }
    return result;
  }

  // Runs on the driver's thread while the host decides on an escrow.
  void OnEscrow(std::function<void()> action) {
    const std::lock_guard lock(mutex_);
    on_escrow_ = std::move(action);
  }

  // Escrows are then stacked and returned in turn, starting with a stack.
  void Alternate() {
    const std::lock_guard lock(mutex_);
    alternate_ = true;
  }

  // Waits until the list holds an entry that `match` accepts, after `from`;
  // returns its index, or -1 on time-out.
  long WaitFor(const std::function<bool(const Heard&)>& match, std::size_t from = 0) {
    std::unique_lock lock(mutex_);
    long found = -1;
    changed_.wait_for(lock, kWait, [&] {
      for (std::size_t i = from; i < heard_.size(); ++i) {
        if (match(heard_[i])) {
          found = static_cast<long>(i);
          return true;
        }
      }
      return false;
    });
    return found;
  }
  long WaitForState(int32_t state, std::size_t from = 0) {
    return WaitFor(
        [&](const Heard& h) { return !h.bill && h.kind == NV_EVENT_STATE && (h.value & 0xFF) == state; },
        from);
  }
  long WaitForLink(int32_t link, std::size_t from = 0) {
    return WaitFor([&](const Heard& h) { return !h.bill && h.kind == NV_EVENT_LINK && h.value == link; },
                   from);
  }
  long WaitForBill(int32_t kind, std::size_t from = 0) {
    return WaitFor([&](const Heard& h) { return h.bill && h.kind == kind; }, from);
  }
  std::vector<Heard> All() const {
    const std::lock_guard lock(mutex_);
    return heard_;
  }
  std::size_t Size() const {
    const std::lock_guard lock(mutex_);
    return heard_.size();
  }

 private:
  void Add(Heard heard) {
    {
      const std::lock_guard lock(mutex_);
      heard_.push_back(heard);
    }
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Heard> heard_;
  bool alternate_ = false;
  unsigned escrows_ = 0;
  std::function<void()> on_escrow_;
};

class HostEventsTest : public notavero::testing::DriverLogTest {
 protected:
  void TearDown() override {
    nv_free_driver(driver_);
    sim_.reset();
    DriverLogTest::TearDown();
  }

  // Starts the simulator with a stable link to its line and opens the
  // driver on that link.
  void Open(bool extended = false) {
    SimOptions options;
    options.fast = true;
    options.link = (dir_ / "validator").string();
    sim_ = SimServer::Start(options);
    nv_options open{};
    open.size = sizeof open;
    open.device = options.link.c_str();
    open.on_bill = &Recorder::OnBill;
    if (extended) {
      open.on_bill_ex = &Recorder::OnBillEx;
    }
    open.on_event = &Recorder::OnEvent;
    open.user = &host_;
    char error[256] = "";
    driver_ = nv_open(&open, error, sizeof error);
    ASSERT_NE(driver_, nullptr) << error;
  }

  // Opens and enables acceptance once the bill table is read.
  void OpenAccepting(bool extended = false) {
    Open(extended);
    ASSERT_GE(host_.WaitForState(kDisabled), 0);
    nv_set_enabled(driver_, 1);
    ASSERT_GE(host_.WaitForState(kIdling), 0);
  }

  nv_counters Counters() const {
    nv_counters counters{};
    counters.size = sizeof counters;
    EXPECT_EQ(nv_get_counters(driver_, &counters), 0);
    return counters;
  }

  std::unique_ptr<SimServer> sim_;
  Recorder host_;
  nv_driver* driver_ = nullptr;
};

TEST_F(HostEventsTest, BanknoteRoadAndRejectionInOrder) {
  OpenAccepting();
  const auto all = host_.All();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all[0].kind, NV_EVENT_LINK) << "the first answer brings the link up";
  EXPECT_EQ(all[0].value, NV_LINK_ONLINE);
  EXPECT_EQ(nv_get_link(driver_), NV_LINK_ONLINE);
  EXPECT_EQ(nv_get_enabled(driver_), 1);

  const std::size_t mark = host_.Size();
  ASSERT_TRUE(sim_->Insert(4).ok);  // 100
  const long stacked = host_.WaitForBill(NV_BILL_STACKED, mark);
  ASSERT_GE(stacked, 0);
  // Each bill callback follows the state event of the same poll.
  const long escrow_state = host_.WaitForState(kEscrow, mark);
  const long escrow_bill = host_.WaitForBill(NV_BILL_ESCROW, mark);
  const long stacked_state = host_.WaitForState(kStacked, mark);
  EXPECT_LT(escrow_state, escrow_bill);
  EXPECT_LT(escrow_bill, stacked_state);
  EXPECT_LT(stacked_state, stacked);
  EXPECT_EQ(host_.All()[static_cast<std::size_t>(stacked)].value, 1'000'000);

  // Type 0 has no value in the table and is not enabled: the device
  // rejects it, and the host hears of it once, with its reason.
  ASSERT_GE(host_.WaitForState(kIdling, static_cast<std::size_t>(stacked)), 0);
  const std::size_t before_reject = host_.Size();
  ASSERT_TRUE(sim_->Insert(0).ok);
  const long rejecting = host_.WaitForState(kRejecting, before_reject);
  ASSERT_GE(rejecting, 0);
  ASSERT_GE(host_.WaitForState(kIdling, static_cast<std::size_t>(rejecting)), 0);
  std::vector<Heard> rejections;
  for (const Heard& h : host_.All()) {
    if (!h.bill && h.kind == NV_EVENT_REJECTED) {
      rejections.push_back(h);
    }
  }
  ASSERT_EQ(rejections.size(), 1U);
  EXPECT_EQ(rejections[0].value, host_.All()[static_cast<std::size_t>(rejecting)].value >> 8);
  EXPECT_STRNE(nv_reject_reason_name(static_cast<int32_t>(rejections[0].value)), "");

  const nv_counters counters = Counters();
  EXPECT_EQ(counters.stacked[4], 1U);
  EXPECT_EQ(counters.stacked_amount, 1'000'000);
  EXPECT_EQ(counters.rejected, 1U);
  EXPECT_GE(counters.last_answer_ms, 0);
  EXPECT_STREQ(nv_state_name(nv_get_state(driver_)), "idling");
}

TEST_F(HostEventsTest, ExtendedCallbackGivesEachBillItsType) {
  OpenAccepting(true);
  host_.Alternate();
  for (const int32_t type : {4, 6}) {  // 100 stacked, 1000 returned
    const std::size_t mark = host_.Size();
    ASSERT_TRUE(sim_->Insert(static_cast<uint8_t>(type)).ok);
    const long escrow = host_.WaitForBill(NV_BILL_ESCROW, mark);
    const long outcome = host_.WaitFor(
        [](const Heard& h) { return h.bill && (h.kind == NV_BILL_STACKED || h.kind == NV_BILL_RETURNED); },
        mark);
    ASSERT_GE(escrow, 0);
    ASSERT_GE(outcome, 0);
    ASSERT_GE(host_.WaitForState(kIdling, static_cast<std::size_t>(outcome)), 0);
    const auto all = host_.All();
    EXPECT_EQ(all[static_cast<std::size_t>(escrow)].bill_type, type);
    EXPECT_EQ(all[static_cast<std::size_t>(outcome)].bill_type, type);
    EXPECT_EQ(all[static_cast<std::size_t>(outcome)].kind, type == 4 ? NV_BILL_STACKED : NV_BILL_RETURNED);
  }
  EXPECT_EQ(Counters().stacked[4], 1U);
}

TEST_F(HostEventsTest, CountersMatchTheSimulatorAfterAMixedRun) {
  OpenAccepting();
  host_.Alternate();
  for (const uint8_t type : {2, 3, 4, 5, 6, 7, 4, 2}) {
    const std::size_t mark = host_.Size();
    ASSERT_TRUE(sim_->Insert(type).ok);
    ASSERT_GE(host_.WaitFor(
                  [](const Heard& h) {
                    return h.bill && (h.kind == NV_BILL_STACKED || h.kind == NV_BILL_RETURNED);
                  },
                  mark),
              0);
    ASSERT_GE(host_.WaitForState(kIdling, mark + 1), 0);
  }
  // One whole cycle unanswered: three polls.  The simulator may take the
  // acknowledge of the poll before them as the first of its silent frames,
  // or else ignores the first poll of the next cycle too.
  ASSERT_TRUE(sim_->Command("silent 4").ok);
  const long lost = host_.WaitForLink(NV_LINK_NO_ANSWER);
  ASSERT_GE(lost, 0);
  const long back = host_.WaitForLink(NV_LINK_ONLINE, static_cast<std::size_t>(lost));
  ASSERT_GE(back, 0) << "the next answered poll brings the link back";

  const auto device = sim_->Status().counters;
  const nv_counters counters = Counters();
  int64_t amount = 0;
  for (std::size_t type = 0; type < 24; ++type) {
    EXPECT_EQ(counters.stacked[type], device.stacked_by_type[type]) << "type " << type;
  }
  amount = static_cast<int64_t>(device.stacked_sum) * 10'000;
  EXPECT_EQ(counters.stacked_amount, amount);
  EXPECT_EQ(counters.returned, device.returned);
  EXPECT_EQ(device.stacked, 4U);
  EXPECT_GE(counters.timeouts, 3U);
  EXPECT_LE(counters.timeouts, 4U);
  EXPECT_EQ(counters.failed_cycles, 1U);
  EXPECT_EQ(counters.power_ups, 1U);
  EXPECT_EQ(counters.unconfirmed, 0U);

  // A caller built against a smaller struct gets a refusal, not an overrun.
  nv_counters small{};
  small.size = sizeof small - 1;
  EXPECT_EQ(nv_get_counters(driver_, &small), -1);
  EXPECT_EQ(small.stacked_amount, 0);
  EXPECT_EQ(nv_get_counters(driver_, nullptr), -1);
}

TEST_F(HostEventsTest, PulledLineIsReopenedWithAcceptanceOn) {
  OpenAccepting();
  ASSERT_TRUE(sim_->Unplug().ok);
  ASSERT_GE(host_.WaitForLink(NV_LINK_PORT_LOST), 0);
  EXPECT_EQ(nv_get_link(driver_), NV_LINK_PORT_LOST);
  const std::size_t mark = host_.Size();
  ASSERT_TRUE(sim_->Replug().ok);
  ASSERT_GE(host_.WaitForLink(NV_LINK_ONLINE, mark), 0);
  // The host asked for acceptance and never withdrew it: it is on again,
  // and bills are credited as before.
  ASSERT_GE(host_.WaitForState(kIdling, mark), 0);
  const std::size_t ready = host_.Size();
  ASSERT_TRUE(sim_->Insert(5).ok);  // 500
  const long stacked = host_.WaitForBill(NV_BILL_STACKED, ready);
  ASSERT_GE(stacked, 0);
  EXPECT_EQ(host_.All()[static_cast<std::size_t>(stacked)].value, 5'000'000);
  const nv_counters counters = Counters();
  EXPECT_EQ(counters.reconnects, 1U);
  EXPECT_EQ(counters.stacked_amount, 5'000'000);
  EXPECT_EQ(sim_->Status().counters.stacked_sum, 500U);
}

TEST_F(HostEventsTest, ApprovedBillIsStackedAfterTheLineComesBack) {
  OpenAccepting();
  // The line is pulled while the host decides; it answers stack.
  host_.OnEscrow([this] { ASSERT_TRUE(sim_->Unplug().ok); });
  const std::size_t mark = host_.Size();
  ASSERT_TRUE(sim_->Insert(5).ok);  // 500
  ASSERT_GE(host_.WaitForLink(NV_LINK_PORT_LOST, mark), 0);
  host_.OnEscrow(nullptr);
  ASSERT_TRUE(sim_->Replug().ok);
  const long stacked = host_.WaitForBill(NV_BILL_STACKED, mark);
  ASSERT_GE(stacked, 0) << "the host's decision was not carried out after the reopen";
  const auto all = host_.All();
  EXPECT_EQ(all[static_cast<std::size_t>(stacked)].value, 5'000'000);
  EXPECT_EQ(std::count_if(all.begin() + static_cast<long>(mark), all.end(),
                          [](const Heard& h) { return h.bill && h.kind == NV_BILL_ESCROW; }),
            1)
      << "the host was asked twice about one bill";
  const auto device = sim_->Status().counters;
  EXPECT_EQ((std::pair{device.stacked, device.returned}), (std::pair{uint64_t{1}, uint64_t{0}}));
}

TEST_F(HostEventsTest, PortThatComesBackToAnotherDeviceIsReadAgain) {
  // The link the driver opened comes back leading to another validator (USB
  // adapters renumbered), whose table gives bill type 4 the value 500.
  OpenAccepting();
  ASSERT_TRUE(sim_->Unplug().ok);
  ASSERT_GE(host_.WaitForLink(NV_LINK_PORT_LOST), 0);
  SimOptions options;
  options.fast = true;
  options.start_disabled = true;
  options.link = (dir_ / "validator").string();
  options.bill_table[4] = options.bill_table[5];
  const auto other = SimServer::Start(options);
  const std::size_t mark = host_.Size();
  ASSERT_GE(host_.WaitForLink(NV_LINK_ONLINE, mark), 0);
  ASSERT_GE(host_.WaitForState(kIdling, mark), 0);
  const std::size_t ready = host_.Size();
  ASSERT_TRUE(other->Insert(4).ok);
  const long stacked = host_.WaitForBill(NV_BILL_STACKED, ready);
  ASSERT_GE(stacked, 0);
  EXPECT_EQ(host_.All()[static_cast<std::size_t>(stacked)].value, 5'000'000)
      << "the bill was credited at the old device's value";
  EXPECT_EQ(other->Status().counters.stacked_sum, 500U);
}

TEST_F(HostEventsTest, FreeWhileReopeningReturns) {
  OpenAccepting();
  ASSERT_TRUE(sim_->Unplug().ok);
  ASSERT_GE(host_.WaitForLink(NV_LINK_PORT_LOST), 0);
  nv_free_driver(driver_);  // a hang here is the failure (ctest's time-out)
  driver_ = nullptr;
  EXPECT_EQ(nv_get_link(driver_), NV_LINK_UNKNOWN);
  EXPECT_EQ(nv_get_state(driver_), -1);
}

TEST(HostApiTest, OpenRefusesWhatItCannotUse) {
  char error[256] = "";
  EXPECT_EQ(nv_open(nullptr, error, sizeof error), nullptr);
  EXPECT_NE(std::string(error).find("NULL"), std::string::npos);
  nv_options options{};
  options.size = offsetof(nv_options, flags) - 1;  // smaller than the struct's first version
  EXPECT_EQ(nv_open(&options, error, sizeof error), nullptr);
  EXPECT_NE(std::string(error).find("size"), std::string::npos);
  options.size = offsetof(nv_options, flags);  // the first version, without flags, is still taken
  options.device = "/nonexistent/ttyUSB8";
  EXPECT_EQ(nv_open(&options, error, sizeof error), nullptr);
  EXPECT_NE(std::string(error).find("/nonexistent/ttyUSB8"), std::string::npos) << error;
  options.size = sizeof options;
  options.device = "/nonexistent/ttyUSB9";
  EXPECT_EQ(nv_open(&options, error, sizeof error), nullptr);
  EXPECT_NE(std::string(error).find("/nonexistent/ttyUSB9"), std::string::npos) << error;
  EXPECT_STREQ(nv_link_name(NV_LINK_PORT_LOST), "port lost");
  EXPECT_STREQ(nv_state_name(0x0041), "stacker full");
  EXPECT_STREQ(nv_state_name(0x661C), "rejecting");
  EXPECT_STREQ(nv_state_name(0x99), "unknown");
}

TEST(HostApiTest, TextsInUtf8) {
  char text[64] = "";
  EXPECT_EQ(nv_state_text_utf8(0x0019, text, sizeof text), std::string("Выключен").size());
  EXPECT_STREQ(text, "Выключен");
  EXPECT_EQ(nv_state_text_utf8(0x0019, text, 5), std::string("Выключен").size());
  EXPECT_EQ(std::string(text), std::string("Выключен").substr(0, 4)) << "cut to the buffer";
  EXPECT_EQ(nv_state_text_utf8(-1, text, sizeof text), 0U);
  EXPECT_STREQ(text, "");

  // nv_open's error: Windows-1251 by default, the same text in UTF-8 on request.
  nv_options options{};
  options.size = sizeof options;
  options.device = "/nonexistent/ttyUSB7";
  char cp1251[256] = "";
  char utf8[256] = "";
  EXPECT_EQ(nv_open(&options, cp1251, sizeof cp1251), nullptr);
  options.flags = NV_OPT_UTF8_ERROR;
  EXPECT_EQ(nv_open(&options, utf8, sizeof utf8), nullptr);
  EXPECT_EQ(notavero::Cp1251ToUtf8(cp1251), utf8);
  EXPECT_NE(std::string(cp1251), utf8) << "the error has Russian text to convert";
}

}  // namespace
