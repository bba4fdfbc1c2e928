// The time the driver's waits run on (and the wall clock's time stamps,
// NowMs).  The driver takes its clock at construction: the steady clock in
// production, a test's own clock when a test wants hours of device time to
// pass in milliseconds.  Every timed wait
// of the driver goes through its clock, on an Event (common/event.h).
#pragma once

#include <chrono>
#include <cstdint>

#include "common/event.h"

namespace notavero {

class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  static constexpr TimePoint kNever = TimePoint::max();

  Clock() = default;
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;
  virtual ~Clock() = default;

  [[nodiscard]] virtual TimePoint Now() const = 0;
  // Waits until `event` is signalled (true), or cancelled, or until
  // `deadline` on this clock (false).  kNever waits without a deadline.
  virtual bool WaitUntil(Event& event, TimePoint deadline) = 0;
  bool WaitFor(Event& event, std::chrono::milliseconds timeout) { return WaitUntil(event, Now() + timeout); }
  // Marks the calling thread as one whose work paces the clock, from
  // Attach to Detach (see the test clock); nothing for the steady clock.
  virtual void Attach() {}
  virtual void Detach() {}

  // The process's steady clock.
  static Clock& Steady();
};

// The wall clock in milliseconds since the Unix epoch: the time stamps of
// the service's journal, messages and ledger.  Never for a wait (it may
// jump); waits go through a Clock.
inline int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace notavero
