// The host of a driver test: records every bill callback, and the events a
// test of money cares for, in one list in order; stacks every bill in escrow
// unless told otherwise.  Every wait has a generous time-out (sanitizers on a
// loaded machine) and returns false when it passes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "driver/notavero.h"
#include "driver/notavero_unit.h"

namespace notavero::testing {

class RecordingHost {
 public:
  struct Call {
    int32_t kind;
    int64_t amount;  // an event's code
    bool operator==(const Call&) const = default;
  };
  // Events are recorded among the bill calls, as kEventBase + their kind:
  // foreign outcomes and unconfirmed bills.
  static constexpr int32_t kEventBase = 100;
  static constexpr std::chrono::seconds kWait{30};

  // The C interface's callbacks, with this host as `user`.
  static int Callback(int32_t kind, int64_t amount, void* user) {
    return static_cast<RecordingHost*>(user)->OnBill(kind, amount);
  }
  static void Event(int32_t kind, int32_t code, void* user) {
    if (kind == NV_EVENT_FOREIGN_OUTCOME || kind == NV_EVENT_UNCONFIRMED) {
      static_cast<RecordingHost*>(user)->Record({kEventBase + kind, code});
    }
  }
  // A GetDriver-like host: the bill callback only.
  TBillSink Sink() { return TBillSink{nullptr, &Callback, this}; }
  // A host of the C interface: events, a standing acceptance request, flags.
  TBillSink CSink(uint32_t flags = 0) {
    TBillSink sink{nullptr, &Callback, this, &Event, flags};
    sink.standing_enable = true;
    return sink;
  }

  // Escrowed bills are stacked (true, the default) or returned.
  void StackEscrow(bool stack) {
    const std::lock_guard lock(mutex_);
    stack_ = stack;
  }
  // Runs on the driver's thread while the host decides on an escrow.
  void OnEscrow(std::function<void()> action) {
    const std::lock_guard lock(mutex_);
    on_escrow_ = std::move(action);
  }
  // What a stacked or returned callback does and returns.
  void OnOutcome(std::function<int()> action) {
    const std::lock_guard lock(mutex_);
    on_outcome_ = std::move(action);
  }
  // The next escrow callback waits until Release().
  void HoldEscrow() {
    const std::lock_guard lock(mutex_);
    hold_ = true;
  }
  void Release() {
    {
      const std::lock_guard lock(mutex_);
      hold_ = false;
    }
    changed_.notify_all();
  }
  bool WaitUntilHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [this] { return held_; });
  }

  bool WaitForCalls(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return calls_.size() >= count; });
  }
  [[nodiscard]] std::vector<Call> Calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
  }
  // The amounts of the stacked callbacks, in order.
  [[nodiscard]] std::vector<int64_t> Credits() const {
    std::vector<int64_t> credits;
    for (const Call& call : Calls()) {
      if (call.kind == NV_BILL_STACKED) {
        credits.push_back(call.amount);
      }
    }
    return credits;
  }

 private:
  void Record(Call call) {
    {
      const std::lock_guard lock(mutex_);
      calls_.push_back(call);
    }
    changed_.notify_all();
  }

  int OnBill(int32_t kind, int64_t amount) {
    std::function<void()> on_escrow;
    std::function<int()> on_outcome;
    bool stack = true;
    {
      std::unique_lock lock(mutex_);
      calls_.push_back({kind, amount});
      changed_.notify_all();
      if (kind == NV_BILL_ESCROW && hold_) {
        held_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !hold_; });
        held_ = false;
      }
      on_escrow = on_escrow_;
      on_outcome = on_outcome_;
      stack = stack_;
    }
    if (kind == NV_BILL_ESCROW) {
      if (on_escrow) {
        on_escrow();
      }
      return stack ? 1 : 0;
    }
    return on_outcome ? on_outcome() : 0;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
  bool stack_ = true;
  bool hold_ = false;
  bool held_ = false;
  std::function<void()> on_escrow_;
  std::function<int()> on_outcome_;
};

}  // namespace notavero::testing
