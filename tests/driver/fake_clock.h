// A clock for driver tests whose time moves on by itself, and only when
// nothing else can happen: every thread that paces it (the driver's polling
// thread, attached by the driver; the port's event thread, marked by the
// scripted device around its device waits; a test thread that plays the
// device) is blocked, and no wait is about to end: no event is signalled,
// no input waits to be read, no frame waits to be answered.  Time then jumps to
// the earliest deadline of the waits.  A reply that is on its way can never
// be overtaken by a time-out, however loaded the machine; a test of three
// time-outs takes as long as the frames it exchanges.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "common/event.h"
#include "serial/fake_device.h"

namespace notavero::testing {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(TimePoint start = std::chrono::steady_clock::now())
      : now_(start.time_since_epoch().count()) {}

  [[nodiscard]] TimePoint Now() const override { return TimePoint(TimePoint::duration(now_.load())); }

  bool WaitUntil(Event& event, TimePoint deadline) override {
    Waiter waiter{&event, deadline};
    bool was_running = false;
    {
      const std::lock_guard lock(mutex_);
      waiters_.push_back(&waiter);
      was_running = Erase(running_, std::this_thread::get_id());
      MaybeAdvance();
    }
    const bool signalled = event.WaitWhile([&] { return Now() < deadline; });
    const std::lock_guard lock(mutex_);
    Erase(waiters_, &waiter);
    if (was_running) {
      running_.push_back(std::this_thread::get_id());
    }
    MaybeAdvance();
    return signalled;
  }

  void Attach() override { Running(); }
  void Detach() override {
    Blocked([] { return false; });
  }

  // The calling thread goes on working (Running), or waits for something
  // outside the clock (Blocked): the port's event thread for the scripted
  // device, a test thread that plays the device for the driver's frames.
  // `wakes` tells whether that wait is about to end (input is there, the
  // frame was written); it runs under the clock's lock, so it must not call
  // back into the clock.
  void Running() {
    const std::lock_guard lock(mutex_);
    Unblock();
    running_.push_back(std::this_thread::get_id());
  }
  void Blocked(std::function<bool()> wakes) {
    const std::lock_guard lock(mutex_);
    Erase(running_, std::this_thread::get_id());
    Unblock();
    blocked_.push_back({std::this_thread::get_id(), std::move(wakes)});
    MaybeAdvance();
  }

  // Time stands still while it lives: the thread that makes it counts as
  // running, for a test that must act before the driver's next wait ends.
  class StandStill {
   public:
    explicit StandStill(FakeClock& clock) : clock_(clock) { clock_.Running(); }
    ~StandStill() { clock_.Detach(); }
    StandStill(const StandStill&) = delete;
    StandStill& operator=(const StandStill&) = delete;

   private:
    FakeClock& clock_;
  };

 private:
  struct Waiter {
    Event* event;
    TimePoint deadline;
  };
  struct BlockedThread {
    std::thread::id id;
    std::function<bool()> wakes;
  };

  void Unblock() {
    const auto id = std::this_thread::get_id();
    blocked_.erase(
        std::remove_if(blocked_.begin(), blocked_.end(), [&](const BlockedThread& b) { return b.id == id; }),
        blocked_.end());
  }

  template <typename T>
  static bool Erase(std::vector<T>& items, const T& item) {
    const auto found = std::find(items.begin(), items.end(), item);
    if (found == items.end()) {
      return false;
    }
    items.erase(found);
    return true;
  }

  // Under the lock.  Locks the waiters' events after the clock: an event's
  // lock is never held while the clock's is taken.
  void MaybeAdvance() {
    if (waiters_.empty() || !running_.empty()) {
      return;
    }
    for (const BlockedThread& blocked : blocked_) {
      if (blocked.wakes()) {
        return;  // its input is there: it runs first
      }
    }
    const TimePoint now = Now();
    TimePoint next = kNever;
    for (const Waiter* waiter : waiters_) {
      if (waiter->deadline <= now || waiter->event->Ready()) {
        return;  // a wait is ending: its thread runs first
      }
      next = std::min(next, waiter->deadline);
    }
    if (next == kNever) {
      return;
    }
    now_.store(next.time_since_epoch().count());
    for (const Waiter* waiter : waiters_) {
      if (waiter->deadline <= next) {
        waiter->event->Recheck();
      }
    }
  }

  std::atomic<TimePoint::rep> now_;
  std::mutex mutex_;
  std::vector<Waiter*> waiters_;
  std::vector<std::thread::id> running_;
  std::vector<BlockedThread> blocked_;
};

// A scripted device on a FakeLine that paces `clock`: the port's event
// thread counts as blocked while it waits for the line and the line holds no
// input, and every frame is written (and seen by `heard`, which may answer
// it on the line) as the driver puts it out, before the driver waits.
class ClockedDevice final : public SerialDevice {
 public:
  using Heard = std::function<void(const uint8_t* data, uint32_t count, FakeLine& line)>;

  ClockedDevice(std::shared_ptr<FakeLine> line, FakeClock& clock, Heard heard = nullptr,
                std::function<void()> closed = nullptr)
      : line_(std::move(line)),
        fake_(line_),
        clock_(clock),
        heard_(std::move(heard)),
        closed_(std::move(closed)) {}

  bool Open(uint16_t port) override { return fake_.Open(port); }
  [[nodiscard]] std::string OpenError() const override { return fake_.OpenError(); }
  [[nodiscard]] std::string Identity() const override { return fake_.Identity(); }
  bool SetupQueues(uint32_t in_size, uint32_t out_size) override {
    return fake_.SetupQueues(in_size, out_size);
  }
  bool GetLineSettings(LineSettings& settings) override { return fake_.GetLineSettings(settings); }
  bool SetLineSettings(const LineSettings& settings) override { return fake_.SetLineSettings(settings); }
  bool ClearErrors(uint32_t& errors, CommStat& stat) override { return fake_.ClearErrors(errors, stat); }
  void PurgeInput() override { fake_.PurgeInput(); }
  void SetTimeouts() override { fake_.SetTimeouts(); }
  bool SetEventMask(uint32_t mask) override { return fake_.SetEventMask(mask); }
  WaitStatus WaitEvent(uint32_t& events) override {
    clock_.Blocked([line = line_] { return line->InputLeft() > 0; });
    const WaitStatus status = fake_.WaitEvent(events);
    if (status != WaitStatus::kEnded) {
      clock_.Running();  // until it waits again, having handed the bytes on
    }
    return status;
  }
  uint32_t Read(uint8_t* dest, uint32_t count) override { return fake_.Read(dest, count); }
  uint32_t WriteNow(const uint8_t* data, uint32_t count) override {
    uint32_t written = 0;
    return Write(data, count, 0, written) == WriteStatus::kDone ? written : 0;
  }
  WriteStatus Write(const uint8_t* data, uint32_t count, uint32_t wait_ms, uint32_t& written) override {
    const WriteStatus status = fake_.Write(data, count, wait_ms, written);
    if (status == WriteStatus::kDone && heard_) {
      heard_(data, written, *line_);
    }
    return status;
  }
  void Interrupt() override { fake_.Interrupt(); }
  void Close() override {
    fake_.Close();
    if (closed_) {
      closed_();
    }
  }

 private:
  std::shared_ptr<FakeLine> line_;
  FakeDevice fake_;
  FakeClock& clock_;
  Heard heard_;
  std::function<void()> closed_;
};

}  // namespace notavero::testing
