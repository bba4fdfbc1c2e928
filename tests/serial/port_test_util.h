// Helpers shared by the serial port tests: a port that records every
// DataReceived call (and optionally drains the ring), and a stopwatch.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "serial/com_port.h"

namespace notavero::test {

inline constexpr std::chrono::seconds kEventTimeout{10};

class RecordingPort : public TComPort {
 public:
  // drain: DataReceived takes `count` bytes out of the ring with ReadByte, as
  // the driver does.
  RecordingPort(uint16_t port, std::unique_ptr<SerialDevice> device, bool drain)
      : TComPort(port, std::move(device)), drain_(drain) {
    EnableDataReceived();
  }
  RecordingPort(uint16_t port, bool drain) : TComPort(port), drain_(drain) { EnableDataReceived(); }
  ~RecordingPort() override { Close(); }
  RecordingPort(const RecordingPort&) = delete;
  RecordingPort& operator=(const RecordingPort&) = delete;

  void DataReceived(uint32_t count) override {
    std::vector<uint8_t> taken;
    if (drain_) {
      for (uint32_t i = 0; i < count; ++i) {
        taken.push_back(ReadByte());
      }
    }
    {
      std::lock_guard lock(mutex_);
      counts_.push_back(count);
      bytes_.insert(bytes_.end(), taken.begin(), taken.end());
    }
    cv_.notify_all();
  }

  bool WaitCalls(std::size_t calls) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kEventTimeout, [&] { return counts_.size() >= calls; });
  }
  bool WaitTotal(uint64_t total) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kEventTimeout, [&] { return Sum() >= total; });
  }
  bool WaitBytes(std::size_t count) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kEventTimeout, [&] { return bytes_.size() >= count; });
  }
  std::vector<uint32_t> Counts() {
    std::lock_guard lock(mutex_);
    return counts_;
  }
  std::vector<uint8_t> Bytes() {
    std::lock_guard lock(mutex_);
    return bytes_;
  }
  void Shut() { Close(); }

 private:
  uint64_t Sum() const { return std::accumulate(counts_.begin(), counts_.end(), uint64_t{0}); }

  bool drain_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<uint32_t> counts_;
  std::vector<uint8_t> bytes_;
};

inline std::vector<uint8_t> Pattern(std::size_t count, uint32_t seed) {
  std::vector<uint8_t> bytes(count);
  uint32_t x = seed;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

// Waits until `pred` holds, re-checking every millisecond, for state that no
// event announces (an index the writer updates after the device took a write).
template <typename Pred>
bool Eventually(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs `what` and returns how long it took, in milliseconds.
template <typename F>
double MillisecondsOf(F&& what) {
  const auto start = std::chrono::steady_clock::now();
  std::forward<F>(what)();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace notavero::test
