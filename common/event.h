// A waitable event in the manner of the Win32 event object, on the standard
// library: manual-reset events stay signalled until reset, auto-reset events
// release one wait per signal.
//
// `Cancel` ends every present and future wait at once (returning false), so
// that a thread blocked on the event can be stopped without waiting out its
// time-out; a cancelled event stays cancelled.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace notavero {

class Event {
 public:
  enum class Mode { kManualReset, kAutoReset };

  explicit Event(Mode mode) : auto_reset_(mode == Mode::kAutoReset) {}
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set() {
    {
      const std::lock_guard lock(mutex_);
      signalled_ = true;
    }
    if (auto_reset_) {
      changed_.notify_one();
    } else {
      changed_.notify_all();
    }
  }

  void Reset() {
    const std::lock_guard lock(mutex_);
    signalled_ = false;
  }

  void Cancel() {
    {
      const std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    changed_.notify_all();
  }

  // Waits until the event is signalled or cancelled; true when signalled.
  bool Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return signalled_ || cancelled_; });
    if (cancelled_) {
      return false;
    }
    if (auto_reset_) {
      signalled_ = false;
    }
    return true;
  }

  // Waits until the event is signalled (true) or the time-out passes or the
  // event is cancelled (false).  An auto-reset event is reset by the wait
  // that it releases.
  bool Wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return Taken(changed_.wait_for(lock, timeout, [this] { return signalled_ || cancelled_; }));
  }
  bool WaitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return Taken(changed_.wait_until(lock, deadline, [this] { return signalled_ || cancelled_; }));
  }

  // For clocks of their own (common/clock.h): waits while `pending()` holds
  // and the event is neither signalled nor cancelled; true when signalled.
  // `pending` runs under the event's lock; whoever makes it false calls
  // Recheck afterwards.
  template <typename Pending>
  bool WaitWhile(Pending pending) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return signalled_ || cancelled_ || !pending(); });
    return Taken(signalled_ || cancelled_);
  }
  void Recheck() {
    { const std::lock_guard lock(mutex_); }
    changed_.notify_all();
  }
  // Signalled or cancelled: a wait on it would return at once.
  [[nodiscard]] bool Ready() {
    const std::lock_guard lock(mutex_);
    return signalled_ || cancelled_;
  }

 private:
  // The end of a wait under the lock: `released` when it ended by a signal
  // or a cancel.  An auto-reset event is reset by the wait it releases.
  bool Taken(bool released) {
    if (!released || cancelled_) {
      return false;
    }
    if (auto_reset_) {
      signalled_ = false;
    }
    return true;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  const bool auto_reset_;
  bool signalled_ = false;
  bool cancelled_ = false;
};

}  // namespace notavero
