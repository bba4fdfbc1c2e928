// notavero-soak: the driver against the simulator (fast mode) for many bills,
// with line faults, jams, power cycles, slow and refusing hosts and drivers
// destroyed (from the host's thread, or from inside a bill callback) and
// created again, all drawn from one seed so that a run can be
// repeated.  Bills go in one at a time; after each the two sides are
// compared: every bill the device stacked must be credited exactly once,
// with its value, and no bill the device returned may be credited.  At the
// end the money is reconciled: the sum credited must equal the sum the
// device stacked, less the stacked bills the driver listed as unconfirmed.
//
// A bill the device stacked may go uncredited only when the driver says so:
//   unconfirmed      the driver sent the bill to the stacker and never heard
//                    its outcome (the device was power-cycled before the
//                    stacked event was acknowledged, and forgot the event);
//                    the driver reports it as unconfirmed (an event the
//                    soak's host records, also from a driver freed inside
//                    its callback, which releases itself), and the soak
//                    prints each such bill with its amount: money
//                    to reconcile by hand, not lost silently.
// A bill the device itself lost in a power cycle before stacking or
// returning it is counted apart (nothing was stacked, nothing is owed).
// Everything else that differs fails the run: a stacked bill neither
// credited nor listed, a credit of amount 0 or of a wrong amount, a bill
// credited twice, a credited bill that was not stacked; so do a crash, a
// hang (a watchdog aborts the process), a leaked thread or file descriptor.
//
// With --trace FILE (or NOTAVERO_SOAK_KEEP_LOG set, which keeps the driver's
// log and writes the trace beside it) the simulator writes every frame with
// its time, every command the soak ran on the device and the soak's own
// notes (bill inserted, driver destroyed and created, outcome of each bill);
// the notes carry the wall clock of the driver's log lines.  A failing run
// can then be read frame by frame and cut into a replay
// (tests/driver/trace_replay.h).
//
//   notavero-soak [--seed N] [--bills N] [--duration S] [--port N] [--trace FILE] [--quiet]

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "driver/notavero.h"
#include "driver/notavero_unit.h"
#include "protocol/codes.h"
#include "protocol/frame.h"
#include "sim/sim_server.h"

namespace notavero {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using sim::Direction;
using sim::SimServer;
using sim::TraceEntry;

struct Options {
  uint64_t seed = 1;
  uint64_t bills = 0;  // 0: no limit
  double duration = 60;
  uint8_t port = 20;
  bool quiet = false;
  std::string trace_file;
};

// The wall clock as the driver's log writes it (hh:mm:ss.zzz), for notes
// that tie the simulator's trace to the log.
std::string WallClock() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms));
  return text.data();
}

std::size_t CountDir(const char* path) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(path)) {
    ++count;
  }
  return count;
}

// The host: records every callback under the bill that is in play.
class Host {
 public:
  struct Plan {
    bool stack = true;
    std::chrono::milliseconds slow{0};
    int free_on = -1;  // a bill kind whose callback frees the driver (as nv_free_driver from it does)
  };

  static int Callback(int32_t kind, int64_t amount, void* user) {
    return static_cast<Host*>(user)->OnBill(kind, amount);
  }
  // The driver's reports beside the money: a bill it could not confirm,
  // with the amount the driver listed it with (it lists it, then reports it).
  static void Event(int32_t kind, int32_t code, void* user) {
    if (kind == NV_EVENT_UNCONFIRMED) {
      auto* self = static_cast<Host*>(user);
      TUnconfirmedBill bill{static_cast<uint8_t>(code), 0};
      if (const TNotavero* driver = self->current_.load()) {  // alive: its own thread reports
        const auto listed = driver->UnconfirmedBills();
        bill = listed.empty() ? bill : listed.back();
      }
      const std::lock_guard lock(self->mutex_);
      self->unconfirmed_.push_back(bill);
    }
  }

  // The driver the callbacks may free; whoever takes it frees it.
  void SetLive(TNotavero* driver) {
    current_.store(driver);
    live_.store(driver);
  }
  TNotavero* TakeLive() { return live_.exchange(nullptr); }
  // True once a callback freed the driver (then it releases itself).
  bool TakeReleased() { return released_.exchange(false); }
  std::vector<TUnconfirmedBill> TakeUnconfirmed() {
    const std::lock_guard lock(mutex_);
    return std::exchange(unconfirmed_, {});
  }

  void Begin(const Plan& plan) {
    const std::lock_guard lock(mutex_);
    plan_ = plan;
    stacked_ = returned_ = escrows_ = 0;
    amounts_.clear();
  }
  struct Seen {
    int stacked = 0;
    int returned = 0;
    int escrows = 0;
    std::vector<int64_t> amounts;
  };
  Seen Take() {
    const std::lock_guard lock(mutex_);
    return {stacked_, returned_, escrows_, amounts_};
  }

 private:
  int OnBill(int32_t kind, int64_t amount) {
    Plan plan;
    {
      const std::lock_guard lock(mutex_);
      plan = plan_;
      if (kind == beStacked) {
        ++stacked_;
        amounts_.push_back(amount);
      } else if (kind == beReturned) {
        ++returned_;
      } else {
        ++escrows_;
      }
    }
    if (kind == beEscrow && plan.slow.count() > 0) {
      std::this_thread::sleep_for(plan.slow);  // a host that takes its time to decide
    }
    if (kind == plan.free_on) {
      if (TNotavero* driver = TakeLive()) {
        driver->Release();
        released_.store(true);
      }
    }
    return kind == beEscrow && plan.stack ? 1 : 0;
  }

  std::mutex mutex_;
  Plan plan_;
  std::atomic<TNotavero*> live_{nullptr};
  std::atomic<TNotavero*> current_{nullptr};  // the driver running, until the next one
  std::atomic<bool> released_{false};
  std::vector<TUnconfirmedBill> unconfirmed_;
  int stacked_ = 0;
  int returned_ = 0;
  int escrows_ = 0;
  std::vector<int64_t> amounts_;
};

// Aborts the process when the main loop makes no progress for too long.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit) : limit_(limit), thread_([this] { Run(); }) {}
  ~Watchdog() {
    {
      const std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  void Progress(std::string what) {
    const std::lock_guard lock(mutex_);
    last_ = Clock::now();
    what_ = std::move(what);
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      if (changed_.wait_until(lock, last_ + limit_, [this] { return stop_; })) {
        break;
      }
      if (Clock::now() - last_ >= limit_) {
        std::fprintf(stderr, "soak: HANG: no progress for %lld s; last step: %s\n",
                     static_cast<long long>(limit_.count()), what_.c_str());
        std::fflush(stderr);
        std::abort();
      }
    }
  }

  const std::chrono::seconds limit_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  Clock::time_point last_ = Clock::now();
  std::string what_ = "start";
  std::thread thread_;
};

struct Totals {
  uint64_t bills = 0;
  uint64_t stacked_ok = 0;
  uint64_t returned_ok = 0;
  uint64_t vanished = 0;     // the device lost the bill in a power cycle before stacking or returning it
  uint64_t unconfirmed = 0;  // stacked, not credited, listed by the driver as unconfirmed
  uint64_t unconfirmed_sum = 0;
  uint64_t unconfirmed_other = 0;  // listed as unconfirmed, but the device did not stack it
  uint64_t failures = 0;
  uint64_t faults = 0;
  uint64_t power_cycles = 0;
  uint64_t destroyed = 0;
  uint64_t freed_in_callback = 0;
  uint64_t slow_hosts = 0;
  uint64_t refused = 0;
  uint64_t long_delays = 0;
  uint64_t credited_sum = 0;  // currency units
};

// A bill the driver listed as unconfirmed, with what the device did.
struct UnconfirmedOutcome {
  uint64_t bill = 0;
  TUnconfirmedBill listed;
  std::string device;  // "stacked", "returned" or "lost"
};

const std::vector<uint8_t> kPollFrame = {0x02, 0x03, 0x06, cmdPoll, 0xDA, 0x81};

class Soak {
 public:
  explicit Soak(const Options& options) : options_(options), random_(options.seed) {}

  int Run() {
    // A sanitizer's runtime starts a helper thread of its own with the first
    // thread; start one first so that the count below includes it.
    std::thread([] {}).join();
    const std::size_t tasks_before = CountDir("/proc/self/task");
    const std::size_t fds_before = CountDir("/proc/self/fd");
    const auto dir = std::filesystem::temp_directory_path() /
                     ("notavero-soak-" + std::to_string(::getpid()) + "-" + std::to_string(options_.port));
    std::filesystem::remove_all(dir);
    ::setenv("NOTAVERO_LOG", (dir / "Notavero.log").c_str(), 1);
    const bool keep_log = std::getenv("NOTAVERO_SOAK_KEEP_LOG") != nullptr;  // NOLINT(concurrency-mt-unsafe)
    std::string trace_file = options_.trace_file;
    if (trace_file.empty() && keep_log) {
      std::filesystem::create_directories(dir);
      trace_file = dir / "sim-trace.txt";
    }
    {
      Watchdog watchdog(120s);
      watchdog_ = &watchdog;
      sim::SimOptions sim_options;
      sim_options.fast = true;
      sim_options.trace_limit = 4000;
      sim_options.trace_file = trace_file;
      sim_ = SimServer::Start(sim_options);
      sim_->Note("soak seed " + std::to_string(options_.seed) + ", wall clock " + WallClock());
      ::setenv(("NOTAVERO_COM" + std::to_string(options_.port)).c_str(), sim_->SlavePath().c_str(), 1);
      NewDriver();
      const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(options_.duration));
      while (Clock::now() < end && (options_.bills == 0 || totals_.bills < options_.bills)) {
        OneBill();
      }
      DestroyDriver();
      LeftOverUnconfirmed();
      const auto status = sim_->Status();
      sim_.reset();
      watchdog_ = nullptr;
      Report(status.counters);
    }
    if (!keep_log) {
      std::filesystem::remove_all(dir);
    } else {
      std::printf("log kept in %s\n", dir.c_str());
    }
    if (!trace_file.empty()) {
      std::printf("simulator trace in %s\n", trace_file.c_str());
    }
    const std::size_t tasks_after = CountDir("/proc/self/task");
    const std::size_t fds_after = CountDir("/proc/self/fd");
    std::printf("threads before/after: %zu/%zu, descriptors before/after: %zu/%zu\n", tasks_before,
                tasks_after, fds_before, fds_after);
    if (tasks_after != tasks_before) {
      Fail("leaked threads");
    }
    if (fds_after != fds_before) {
      Fail("leaked file descriptors");
    }
    std::printf("soak: %s\n", totals_.failures == 0 ? "PASS" : "FAIL");
    return totals_.failures == 0 ? 0 : 1;
  }

 private:
  enum class Fault {
    kNone,
    kSilent,
    kBadCrc,
    kGarbage,
    kSplit,
    kDelay,
    kLongDelay,
    kBadLength,
    kJam,
    kPowerCycle,
    kDestroy,
    kFreeInCallback,
  };

  void Fail(const std::string& what) {
    ++totals_.failures;
    std::fprintf(stderr, "soak: FAIL (seed %llu, bill %llu, %s): %s\n",
                 static_cast<unsigned long long>(options_.seed),
                 static_cast<unsigned long long>(totals_.bills), WallClock().c_str(), what.c_str());
    if (sim_) {
      sim_->Note("FAIL bill " + std::to_string(totals_.bills) + ": " + what);
    }
  }

  void Step(const std::string& what) {
    if (watchdog_ != nullptr) {
      watchdog_->Progress(what);
    }
  }

  uint32_t Draw(uint32_t below) { return std::uniform_int_distribution<uint32_t>(0, below - 1)(random_); }
  bool Chance(double p) { return std::bernoulli_distribution(p)(random_); }

  void NewDriver() {
    sim_->Note("driver created, wall clock " + WallClock());
    // A driver freed from its callback releases itself on its own thread,
    // and holds the port until it has: the new one tries again meanwhile.
    const auto limit = Clock::now() + 15s;
    for (;;) {
      try {
        driver_ = std::make_unique<TNotavero>(options_.port,
                                              TBillSink{nullptr, &Host::Callback, &host_, &Host::Event});
        break;
      } catch (const std::exception& error) {
        if (Clock::now() > limit) {
          throw;
        }
        std::this_thread::sleep_for(20ms);
      }
    }
    host_.SetLive(driver_.get());
  }

  // A driver its host freed from a callback is gone: the soak lets go of it.
  void ReapReleased() {
    if (host_.TakeReleased()) {
      ++totals_.freed_in_callback;
      sim_->Note("driver freed from its callback, wall clock " + WallClock());
      (void)driver_.release();  // it deletes itself
    }
  }

  // Takes the bills the drivers listed as unconfirmed since the last look.
  void CollectUnconfirmed() {
    for (const auto& listed : host_.TakeUnconfirmed()) {
      bill_unconfirmed_.push_back(listed);
    }
  }

  void DestroyDriver() {
    if (!driver_) {
      return;
    }
    sim_->Note("driver destroyed, wall clock " + WallClock());
    if (host_.TakeLive() == driver_.get()) {
      driver_.reset();
    } else {
      ReapReleased();  // a callback freed it first
    }
    sim_->Note("driver gone, wall clock " + WallClock());
    CollectUnconfirmed();
  }

  // Unconfirmed bills listed after the last bill was judged.
  void LeftOverUnconfirmed() {
    for (const auto& listed : bill_unconfirmed_) {
      Fail("the driver listed a bill of type " + std::to_string(listed.bill_type) +
           " as unconfirmed after its bill was over");
    }
    bill_unconfirmed_.clear();
  }

  // Brings the device to "waiting for a bill" with a driver running.
  bool MakeReady() {
    const auto limit = Clock::now() + 60s;
    while (Clock::now() < limit) {
      ReapReleased();
      if (!driver_) {
        NewDriver();
      }
      if (sim_->Status().state == dsWaitingForBill) {
        return true;
      }
      driver_->SetEnabled(true);  // consumed with an empty mask until the table is read: ask again
      sim_->WaitForState(dsWaitingForBill, 1s);
    }
    return false;
  }

  void ApplyFault(Fault fault) {
    switch (fault) {
      case Fault::kSilent:
        sim_->Command("silent " + std::to_string(1 + Draw(3)));
        break;
      case Fault::kBadCrc:
        sim_->Command("bad-crc " + std::to_string(1 + Draw(2)));
        break;
      case Fault::kGarbage:
        sim_->Command("garbage " + std::to_string(1 + Draw(40)));
        break;
      case Fault::kSplit:
        sim_->Command("split " + std::to_string(2 + Draw(5)) + " " + std::to_string(Draw(60)));
        break;
      case Fault::kDelay:
        sim_->Command("delay " + std::to_string(Draw(1500)));
        break;
      case Fault::kLongDelay:  // close to the 2000 ms reply limit, on either side of it
        ++totals_.long_delays;
        sim_->Command("delay " + std::to_string(1900 + Draw(200)));
        break;
      case Fault::kBadLength:
        sim_->Command(Chance(0.5) ? "bad-length short" : "bad-length long");
        break;
      case Fault::kJam:
        sim_->Command(Chance(0.5) ? "jam path" : "jam cassette");
        // A jam is cleared after a while; the bill then goes on.
        std::this_thread::sleep_for(std::chrono::milliseconds(50 + Draw(600)));
        sim_->Command("clear");
        break;
      case Fault::kPowerCycle: {
        ++totals_.power_cycles;
        static constexpr std::array<const char*, 3> kStates = {"10", "11", "12"};
        sim_->Command(std::string("power-cycle ") + kStates[Draw(3)]);
        break;
      }
      case Fault::kDestroy:
        ++totals_.destroyed;
        DestroyDriver();
        if (Chance(0.5)) {
          std::this_thread::sleep_for(std::chrono::milliseconds(Draw(400)));
        }
        NewDriver();
        break;
      case Fault::kFreeInCallback:  // the plan frees it
      case Fault::kNone:
        break;
    }
  }

  static constexpr std::array<const char*, 12> kFaultNames = {
      "none",  "silent",      "bad-crc",          "garbage",
      "split", "delay",       "long delay",       "bad-length",
      "jam",   "power-cycle", "driver destroyed", "driver freed in its callback"};

  Fault DrawFault() {
    if (!Chance(0.5)) {
      return Fault::kNone;
    }
    const uint32_t n = Draw(1000);
    if (n < 150) return Fault::kSilent;
    if (n < 280) return Fault::kBadCrc;
    if (n < 400) return Fault::kGarbage;
    if (n < 520) return Fault::kSplit;
    if (n < 600) return Fault::kDelay;
    if (n < 615) return Fault::kLongDelay;
    if (n < 680) return Fault::kBadLength;
    if (n < 760) return Fault::kJam;
    if (n < 880) return Fault::kPowerCycle;
    if (n < 950) return Fault::kDestroy;
    return Fault::kFreeInCallback;
  }

  // Waits until the bill is over on the device and the driver has acted on
  // everything the device reported for it.
  bool Settle() {
    const auto limit = Clock::now() + 90s;
    while (Clock::now() < limit) {
      ReapReleased();
      if (!driver_) {
        NewDriver();
      }
      const auto status = sim_->Status();
      // Idle again: after a power cycle the driver has reset the device and
      // read the bill table, so it has also judged the bill the power cut
      // took (listed it as unconfirmed, or not).
      const bool over =
          (status.state == dsWaitingForBill || status.state == dsDisabled) && status.faults.silent == 0;
      if (over) {
        // The device no longer reports anything of this bill: one more poll
        // and the callback of the cycle before it has returned.
        const std::size_t mark = sim_->TraceMark();
        const bool polled = sim_->WaitForTrace(
            [&](const TraceEntry& entry) {
              return entry.direction == Direction::kReceived && entry.bytes == kPollFrame;
            },
            15s, mark);
        if (polled) {
          return true;
        }
        continue;
      }
      driver_->SetEnabled(true);  // after a power cycle a bill in the head needs the driver going
      sim_->WaitForState(dsWaitingForBill, 1s);
    }
    return false;
  }

  // Good 0x81 poll replies the device sent since `mark`.
  int StackedReplies(std::size_t mark) {
    int count = 0;
    sim_->WaitForTrace(
        [&](const TraceEntry& entry) {
          if (entry.direction == Direction::kSent && entry.bytes.size() == 7 && entry.bytes[3] == dsStacked &&
              FrameCrcGood(entry.bytes.data(), entry.bytes.size())) {
            ++count;
          }
          return false;
        },
        0ms, mark);
    return count;
  }

  void OneBill() {
    const uint64_t bill = totals_.bills + 1;
    Step("bill " + std::to_string(bill) + ": ready");
    if (!MakeReady()) {
      Fail("the device did not become ready");
      return;
    }
    const uint8_t type = static_cast<uint8_t>(2 + Draw(6));  // the types the default table enables
    Host::Plan plan;
    plan.stack = !Chance(0.15);
    if (Chance(0.05)) {
      plan.slow = std::chrono::milliseconds(100 + Draw(1500));
      ++totals_.slow_hosts;
    }
    totals_.refused += plan.stack ? 0 : 1;
    const Fault fault = DrawFault();
    // The moment of the fault: a state this bill passes through.
    static constexpr std::array<uint8_t, 5> kStackTriggers = {dsAccepting, dsEscrow, dsStacking, dsStacked,
                                                              dsWaitingForBill};
    static constexpr std::array<uint8_t, 5> kReturnTriggers = {dsAccepting, dsEscrow, dsReturning, dsReturned,
                                                               dsWaitingForBill};
    const uint8_t trigger = (plan.stack ? kStackTriggers : kReturnTriggers)[Draw(kStackTriggers.size())];
    const bool at_once = Chance(0.3);
    if (fault == Fault::kFreeInCallback) {
      // In the escrow's callback, or in the outcome's, around the report.
      plan.free_on = Chance(0.5) ? beEscrow : (plan.stack ? beStacked : beReturned);
    }

    const auto before = sim_->Status().counters;
    CollectUnconfirmed();
    LeftOverUnconfirmed();
    host_.Begin(plan);
    const std::size_t mark = sim_->TraceMark();
    Step("bill " + std::to_string(bill) + ": insert");
    sim_->Note("bill " + std::to_string(bill) + ": type " + std::to_string(type) +
               (plan.stack ? "" : ", host refuses") +
               (plan.slow.count() > 0 ? ", host slow " + std::to_string(plan.slow.count()) + " ms" : "") +
               ", wall clock " + WallClock());
    const auto inserted = sim_->Insert(type);
    if (!inserted.ok) {
      Fail("insert refused: " + inserted.text);
      return;
    }
    ++totals_.bills;
    fault_text_ = "no fault";
    if (fault != Fault::kNone) {
      ++totals_.faults;
      if (!at_once) {
        sim_->WaitForState(trigger, 3s);
      }
      Step("bill " + std::to_string(bill) + ": fault");
      fault_text_ = std::string(kFaultNames[static_cast<std::size_t>(fault)]) + " at state " +
                    std::to_string(at_once ? 0 : trigger);
      sim_->Note("bill " + std::to_string(bill) + ": " + fault_text_);
      ApplyFault(fault);
    }
    Step("bill " + std::to_string(bill) + ": settle");
    if (!Settle()) {
      Fail("the bill did not settle");
      return;
    }
    const auto after = sim_->Status().counters;
    const auto seen = host_.Take();
    CollectUnconfirmed();
    std::vector<TUnconfirmedBill> listed;
    listed.swap(bill_unconfirmed_);
    const uint64_t stacked = after.stacked - before.stacked;
    const uint64_t returned = after.returned - before.returned;
    const uint64_t value = sim::DefaultBillTable()[type].Value();  // currency units
    const auto value_scaled = static_cast<int64_t>(value) * kCurrencyScale;
    const int stacked_replies = StackedReplies(mark);
    const std::string what = "type " + std::to_string(type) + " stacked " + std::to_string(stacked) +
                             " returned " + std::to_string(returned) + " credited " +
                             std::to_string(seen.stacked) + " unconfirmed " + std::to_string(listed.size()) +
                             " (0x81 replies " + std::to_string(stacked_replies) + "; " + fault_text_ +
                             (plan.stack ? "" : ", host refused") + ")";
    sim_->Note("bill " + std::to_string(bill) + ": over: " + what);
    for (const int64_t amount : seen.amounts) {
      if (amount == 0) {
        Fail("credited amount 0: " + what);
      } else if (amount != value_scaled) {
        Fail("credited a wrong amount " + std::to_string(amount) + ": " + what);
      }
      totals_.credited_sum += static_cast<uint64_t>(amount / kCurrencyScale);
    }
    // What the driver listed as unconfirmed must be this bill, with its
    // value (or 0: value unknown).
    bool listed_this = false;
    for (const auto& entry : listed) {
      if (entry.bill_type != type || (entry.amount != 0 && entry.amount != value_scaled)) {
        Fail("the driver listed as unconfirmed a bill of type " + std::to_string(entry.bill_type) +
             " amount " + std::to_string(entry.amount) + ", not the one in play: " + what);
        continue;
      }
      if (listed_this) {
        Fail("the driver listed the bill as unconfirmed twice: " + what);
      }
      listed_this = true;
    }
    const char* device = stacked == 1 ? "stacked" : returned == 1 ? "returned" : "lost";
    if (listed_this) {
      unconfirmed_.push_back(UnconfirmedOutcome{bill, listed.front(), device});
    }
    if (stacked + returned > 1) {
      Fail("more than one bill on the device: " + what);
    } else if (stacked == 1) {
      if (seen.stacked == 1) {
        ++totals_.stacked_ok;
      } else if (seen.stacked > 1) {
        Fail("a stacked bill was credited more than once: " + what);
      } else if (listed_this) {
        ++totals_.unconfirmed;
        totals_.unconfirmed_sum += value;
      } else {
        Fail("a stacked bill was neither credited nor listed as unconfirmed: " + what);
      }
    } else if (seen.stacked != 0) {
      Fail(std::string(returned == 1 ? "a returned" : "an unstacked") + " bill was credited: " + what);
    } else if (returned == 1) {
      ++totals_.returned_ok;
    } else {
      ++totals_.vanished;
    }
    if (listed_this && (stacked == 0 || seen.stacked != 0)) {
      ++totals_.unconfirmed_other;  // listed, but the device did not keep it, or it was credited after all
    }
    if (!options_.quiet && totals_.bills % 500 == 0) {
      std::printf("... %llu bills\n", static_cast<unsigned long long>(totals_.bills));
      std::fflush(stdout);
    }
  }

  void Report(const sim::BillCounters& device) {
    const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::printf("seed %llu port %u\n", u(options_.seed), options_.port);
    std::printf("bills inserted: %llu\n", u(totals_.bills));
    std::printf("device: stacked %llu (sum %llu), returned %llu (sum %llu)\n", u(device.stacked),
                u(device.stacked_sum), u(device.returned), u(device.returned_sum));
    std::printf("host: credited sum %llu\n", u(totals_.credited_sum));
    std::printf("stacked and credited once: %llu\n", u(totals_.stacked_ok));
    std::printf("returned, not credited: %llu\n", u(totals_.returned_ok));
    std::printf("lost by the device in a power cycle before stacking or returning: %llu\n",
                u(totals_.vanished));
    std::printf("stacked, not credited, listed by the driver as unconfirmed: %llu (sum %llu)\n",
                u(totals_.unconfirmed), u(totals_.unconfirmed_sum));
    std::printf("listed as unconfirmed, not stacked or credited after all: %llu\n",
                u(totals_.unconfirmed_other));
    for (const auto& outcome : unconfirmed_) {
      std::printf("  unconfirmed: bill %llu, type %u, amount %lld (device: %s)\n", u(outcome.bill),
                  outcome.listed.bill_type, static_cast<long long>(outcome.listed.amount / kCurrencyScale),
                  outcome.device.c_str());
    }
    // The money: what the device stacked is what the host was credited, plus
    // what the driver listed as unconfirmed.
    const bool reconciled = device.stacked_sum == totals_.credited_sum + totals_.unconfirmed_sum;
    std::printf("money: stacked %llu = credited %llu + unconfirmed %llu: %s\n", u(device.stacked_sum),
                u(totals_.credited_sum), u(totals_.unconfirmed_sum), reconciled ? "yes" : "NO");
    if (!reconciled) {
      Fail("the money does not reconcile");
    }
    std::printf(
        "faults injected: %llu (power cycles %llu, drivers destroyed %llu, freed in a callback %llu, "
        "long delays %llu), refused %llu, slow host %llu\n",
        u(totals_.faults), u(totals_.power_cycles), u(totals_.destroyed), u(totals_.freed_in_callback),
        u(totals_.long_delays), u(totals_.refused), u(totals_.slow_hosts));
    std::printf("failures: %llu\n", u(totals_.failures));
  }

  Options options_;
  std::mt19937_64 random_;
  Host host_;
  Totals totals_;
  Watchdog* watchdog_ = nullptr;
  std::unique_ptr<SimServer> sim_;
  std::unique_ptr<TNotavero> driver_;
  std::string fault_text_;
  std::vector<TUnconfirmedBill> bill_unconfirmed_;  // taken and not yet judged
  std::vector<UnconfirmedOutcome> unconfirmed_;
};

int Usage(const char* message) {
  std::fprintf(stderr,
               "notavero-soak: %s\nusage: notavero-soak [--seed N] [--bills N] [--duration S] "
               "[--port N] [--trace FILE] [--quiet]\n",
               message);
  return 2;
}

}  // namespace
}  // namespace notavero

int main(int argc, char** argv) {
  notavero::Options options;
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--quiet") {
      options.quiet = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      std::printf(
          "usage: notavero-soak [--seed N] [--bills N] [--duration S] [--port N] [--trace FILE] [--quiet]\n");
      return 0;
    }
    if (i + 1 >= args.size()) {
      return notavero::Usage("an option lacks its value");
    }
    const std::string& value = args[++i];
    try {
      if (arg == "--seed") {
        options.seed = std::stoull(value);
      } else if (arg == "--bills") {
        options.bills = std::stoull(value);
      } else if (arg == "--duration") {
        options.duration = std::stod(value);
      } else if (arg == "--trace") {
        options.trace_file = value;
      } else if (arg == "--port") {
        const unsigned long port = std::stoul(value);
        if (port < 1 || port > 255) {
          return notavero::Usage("--port takes 1..255");
        }
        options.port = static_cast<uint8_t>(port);
      } else {
        return notavero::Usage(("unknown option " + arg).c_str());
      }
    } catch (const std::exception&) {
      return notavero::Usage(("bad value for " + arg).c_str());
    }
  }
  return notavero::Soak(options).Run();
}
