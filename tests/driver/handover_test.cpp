// A stray byte between two exchanges, on the scripted line.
//
// The event thread hands every byte that arrives while no exchange waits to
// the polling thread as if it ended one (it checks the status, then signals
// the reply).  When that signal lands just after the next exchange has
// begun, the exchange is woken with its status still "waiting"; it must go
// on waiting for its reply instead of failing against a healthy device.
//
// The byte is put on the line exactly between exchanges: while the polling
// thread writes the state line of a cycle (after the acknowledge, before
// the next poll), from inside the log's file layer.  The polling thread then
// races on into the next exchange while the event thread handles the byte.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/cp1251.h"
#include "driver/notavero_unit.h"
#include "log/logger_testing.h"
#include "tests/driver/driver_log_test.h"
#include "tests/driver/frames.h"
#include "tests/driver/model_line.h"

namespace notavero {
namespace {

using testing::Bytes;
using testing::kPoll;
using testing::kSecurity;
using testing::ModelLine;
using namespace std::chrono_literals;
constexpr uint8_t kStrayByte = 0x55;  // no frame starts with it
constexpr int kStrayBytes = 25;
constexpr auto kWait = 120s;  // generous: sanitizers on a loaded machine

// The system's files, with a look at every line the driver writes: each
// state line puts a stray byte on the line, and failed cycles are counted.
class WatchedFiles final : public LogFileLayer {
 public:
  explicit WatchedFiles(FakeLine& line) : line_(line) {}

  LogFileHandle OpenExisting(const std::string& path, std::string& error) override {
    return files_.OpenExisting(path, error);
  }
  LogFileHandle Create(const std::string& path, std::string& error) override {
    return files_.Create(path, error);
  }
  bool Write(LogFileHandle file, std::string_view bytes) override {
    if (bytes.find(kStateLine.view()) != std::string_view::npos) {
      bool deliver = false;
      {
        const std::lock_guard lock(mutex_);
        deliver = delivered_ < kStrayBytes;
        if (deliver) {
          ++delivered_;
        } else {
          polled_after_ = true;
        }
      }
      if (deliver) {
        line_.Receive({kStrayByte});
      }
      changed_.notify_all();
    }
    if (bytes.find(kThreadError.view()) != std::string_view::npos) {
      const std::lock_guard lock(mutex_);
      ++failed_cycles_;
    }
    return files_.Write(file, bytes);
  }
  int64_t Size(LogFileHandle file) override { return files_.Size(file); }
  bool Truncate(LogFileHandle file, int64_t size) override { return files_.Truncate(file, size); }
  void Close(LogFileHandle file) override { files_.Close(file); }
  bool StillNamed(LogFileHandle file, const std::string& path, int64_t& size) override {
    return files_.StillNamed(file, path, size);
  }

  // Waits until every stray byte has been put on the line and a poll after
  // the last has been answered.
  bool WaitAllDelivered() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [this] { return polled_after_; });
  }
  [[nodiscard]] int FailedCycles() const {
    const std::lock_guard lock(mutex_);
    return failed_cycles_;
  }

 private:
  static constexpr auto kStateLine = Cp1251(u8"Состояние: ");
  static constexpr auto kThreadError = Cp1251(u8"Ошибка в потоке: ");

  FakeLine& line_;
  LogFileLayer& files_ = LogSystemFileLayer();
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int delivered_ = 0;
  bool polled_after_ = false;
  int failed_cycles_ = 0;
};

using HandOver = testing::DriverLogTest;

TEST_F(HandOver, StrayBytesBetweenExchangesFailNoExchange) {
  ModelLine line(sim::ModelOptions{.start_disabled = true});
  WatchedFiles files(line.Line());
  log_testing::SetFileLayer(&files);
  {
    auto driver = line.Driver(TBillSink{});
    ASSERT_TRUE(line.WaitForFrame(kSecurity));
    ASSERT_TRUE(files.WaitAllDelivered());
  }
  log_testing::SetFileLayer(nullptr);
  EXPECT_EQ(files.FailedCycles(), 0) << "an exchange failed against a healthy device";
}

// A reply's hand-over held up on the event thread until the exchange has
// begun its next attempt: the late wake finds that attempt still waiting.
// The attempt must go on waiting for its own reply (here: none, so it times
// out and the third attempt is answered), not fail with the status "waiting".
class LateWake {
 public:
  static LateWake* current;

  explicit LateWake(ModelLine& line) : line_(line) {
    line_.SetHook([this](const Bytes& frame, sim::DeviceModel&) -> std::optional<Bytes> {
      const std::lock_guard lock(mutex_);
      if (state_ == State::kHolding && frame == kPoll) {
        state_ = State::kRetrySent;  // the retry goes unanswered
        changed_.notify_all();
        return Bytes{};
      }
      return std::nullopt;
    });
    current = this;
    testing_seams::before_hand_over.store(&Seam);
  }
  ~LateWake() {
    testing_seams::before_hand_over.store(nullptr);
    {
      const std::lock_guard lock(mutex_);
      state_ = State::kDone;
    }
    changed_.notify_all();
    line_.SetHook(nullptr);
    current = nullptr;
  }
  LateWake(const LateWake&) = delete;
  LateWake& operator=(const LateWake&) = delete;

  void Arm() {
    const std::lock_guard lock(mutex_);
    state_ = State::kArmed;
  }
  bool WaitDone() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [this] { return state_ == State::kReleased; });
  }

 private:
  enum class State { kIdle, kArmed, kHolding, kRetrySent, kReleased, kDone };

  static void Seam() { current->Hold(); }
  void Hold() {
    {
      const std::lock_guard lock(mutex_);
      if (state_ != State::kArmed) {
        return;
      }
      state_ = State::kHolding;
    }
    // Held until the retry goes out: the clock runs the attempt's time-out
    // meanwhile, as the line's real time would.
    const auto let_go = [this] { return state_ == State::kRetrySent || state_ == State::kDone; };
    line_.Clock().Blocked(let_go);
    {
      std::unique_lock lock(mutex_);
      changed_.wait_for(lock, kWait, let_go);
      if (state_ == State::kRetrySent) {
        state_ = State::kReleased;
      }
    }
    changed_.notify_all();
    line_.Clock().Running();
  }

  ModelLine& line_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<State> state_{State::kIdle};  // written under mutex_; the clock reads it
};

LateWake* LateWake::current = nullptr;

TEST_F(HandOver, LateWakeOfAnEarlierReplyFailsNoExchange) {
  ModelLine line(sim::ModelOptions{.start_disabled = true});
  auto driver = line.Driver(TBillSink{});
  LateWake late(line);  // goes first: a held event thread is let go before the driver stops
  ASSERT_TRUE(line.WaitForFrame(kSecurity));
  const uint32_t failed_before = driver->Counters().failed_cycles;
  late.Arm();
  ASSERT_TRUE(late.WaitDone());
  // Two polls answered after the held one: the cycle it belonged to is over.
  const std::size_t mark = line.Frames().size();
  const auto next = line.WaitForFrame(kPoll, mark);
  ASSERT_TRUE(next);
  ASSERT_TRUE(line.WaitForFrame(kPoll, *next + 1));
  EXPECT_EQ(driver->Counters().failed_cycles, failed_before) << "a healthy device's exchange failed";
}

}  // namespace
}  // namespace notavero
