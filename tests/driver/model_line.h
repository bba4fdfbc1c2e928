// The simulated validator on a scripted fake line, for driver tests that
// need exact control of what the device answers: every frame the driver
// writes goes to the device model at once (on the port's writer thread), and
// the model's reply comes back on the line.  A hook sees each frame first and
// may pass it on, drop it (the device never heard it) or answer it itself.
//
// The line keeps the test's clock (tests/driver/fake_clock.h): the device
// model and every driver started by Driver() run on it, and the line tells
// the clock when it has nothing left to deliver.  A frame is taken and
// answered as the driver writes it, before the driver waits for the reply.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "driver/notavero_unit.h"
#include "serial/fake_device.h"
#include "sim/device_model.h"
#include "tests/driver/fake_clock.h"
#include "tests/driver/frames.h"

namespace notavero::testing {

class ModelLine {
 public:
  // What the hook makes of a frame: nullopt passes it to the model; an empty
  // answer drops it unheard; any other answer is sent instead of the model's.
  using Hook = std::function<std::optional<Bytes>(const Bytes& frame, sim::DeviceModel& model)>;
  static constexpr std::chrono::seconds kTimeout{20};

  explicit ModelLine(sim::ModelOptions options = {})
      : line_(std::make_shared<FakeLine>()), model_(options, clock_.Now()) {}

  std::unique_ptr<SerialDevice> Device() {
    return std::make_unique<ClockedDevice>(
        line_, clock_,
        [this](const uint8_t* data, uint32_t count, FakeLine& line) { Heard(data, count, line); },
        [this] { Closed(); });
  }
  // A driver on this line, on the line's clock.
  std::unique_ptr<TNotavero> Driver(TBillSink sink) {
    return std::make_unique<TNotavero>(1, sink, Device(), TTimings{}, clock_);
  }
  FakeClock& Clock() { return clock_; }
  sim::SimTime Now() const { return clock_.Now(); }
  // A fresh line to the same device, for the next driver (a line that a
  // driver closed stays closed).
  void NewLine() {
    const std::lock_guard lock(mutex_);
    line_ = std::make_shared<FakeLine>();
    closed_ = false;
  }
  FakeLine& Line() { return *line_; }

  void SetHook(Hook hook) {
    const std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
  }

  // Inside a hook only (it runs under the line's lock): the number of the
  // frame the hook is looking at, counted from 0 over every frame sent.
  [[nodiscard]] std::size_t HookedFrame() const { return frames_.size() - 1; }

  // Runs `action` on the model, as the device's own thread would.
  template <typename Action>
  auto WithModel(Action action) {
    const std::lock_guard lock(mutex_);
    return action(model_);
  }

  // Every frame the driver sent, in order.
  std::vector<Bytes> Frames() const {
    const std::lock_guard lock(mutex_);
    return frames_;
  }

  // Waits until a frame equal to `frame` has been sent as frame number
  // `since` or later; returns its index.
  std::optional<std::size_t> WaitForFrame(const Bytes& frame, std::size_t since = 0) {
    std::unique_lock lock(mutex_);
    std::optional<std::size_t> found;
    changed_.wait_for(lock, kTimeout, [&] {
      for (std::size_t i = since; i < frames_.size(); ++i) {
        if (frames_[i] == frame) {
          found = i;
          return true;
        }
      }
      return false;
    });
    return found;
  }

  // Waits until the driver has closed the port.
  bool WaitClosed() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kTimeout, [&] { return closed_; });
  }

  bool WaitForState(uint8_t state) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kTimeout, [&] { return model_.State() == state; });
  }

 private:
  // Notified under the lock: a test may destroy the line as soon as it sees
  // the port closed, while the closing thread is still here.
  void Closed() {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
  }

  // The writer thread's bytes: split into frames, each answered in turn.
  void Heard(const uint8_t* data, uint32_t count, FakeLine& line) {
    Bytes answers;
    {
      const std::lock_guard lock(mutex_);
      pending_.insert(pending_.end(), data, data + count);
      while (pending_.size() >= 3 && pending_.size() >= pending_[2]) {
        const auto end = pending_.begin() + pending_[2];
        const Bytes frame(pending_.begin(), end);
        pending_.erase(pending_.begin(), end);
        frames_.push_back(frame);
        std::optional<Bytes> answer = hook_ ? hook_(frame, model_) : std::nullopt;
        if (!answer) {
          answer.emplace();
          for (const auto& reply : model_.Receive(frame.data(), frame.size(), clock_.Now())) {
            answer->insert(answer->end(), reply.bytes.begin(), reply.bytes.end());
          }
        }
        answers.insert(answers.end(), answer->begin(), answer->end());
      }
    }
    changed_.notify_all();
    if (!answers.empty()) {
      line.Receive(answers);
    }
  }

  FakeClock clock_;
  std::shared_ptr<FakeLine> line_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  sim::DeviceModel model_;
  Hook hook_;
  Bytes pending_;
  std::vector<Bytes> frames_;
  bool closed_ = false;
};

}  // namespace notavero::testing
