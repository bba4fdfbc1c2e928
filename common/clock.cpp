#include "common/clock.h"

namespace notavero {
namespace {

class SteadyClock final : public Clock {
 public:
  [[nodiscard]] TimePoint Now() const override { return std::chrono::steady_clock::now(); }
  bool WaitUntil(Event& event, TimePoint deadline) override {
    return deadline == kNever ? event.Wait() : event.WaitUntil(deadline);
  }
};

}  // namespace

Clock& Clock::Steady() {
  static auto* clock = new SteadyClock;  // never destroyed: drivers may end during exit
  return *clock;
}

}  // namespace notavero
