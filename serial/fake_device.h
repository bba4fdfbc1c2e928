// A scripted serial device for tests.  The test keeps a FakeLine and hands a
// FakeDevice on it to the port; the line plays the other side: it queues
// input bytes and raises events, refuses what it is told to refuse, records
// every read, write, setting and mask, and can hold writes pending.  Every
// wait of the test side has a time-out and returns false when it passes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/serial_device.h"

namespace notavero {

class FakeLine {
 public:
  using Bytes = std::vector<uint8_t>;
  static constexpr std::chrono::seconds kTimeout{10};

  struct ReadCall {
    uint32_t asked;
    uint32_t got;
    bool operator==(const ReadCall&) const = default;
  };

  // ---- script (set before or while the port runs)
  bool refuse_open = false;
  std::string open_error = "refused by the script";  // the reason a refused open gives
  bool refuse_queues = false;
  bool refuse_settings = false;
  bool refuse_ring_trail = false;  // a wait with event bit 0x2000 in the mask is refused
  LineSettings settings{9600, 8, 0, kOneStopBit, 0xFFFF3FFF};  // as the device holds them
  std::string identity;  // what Identity() gives once opened (empty: the port's name stands in)

  // Adds bytes to the device input queue and raises EV_RXCHAR.
  void Receive(const Bytes& bytes);
  // Raises events without input (EV_BREAK, EV_ERR, ...).
  void RaiseEvent(uint32_t events);
  // Sets the error mask that the next status query returns (and clears).
  void SetErrors(uint32_t errors);
  // Reads take at most this many bytes per call (0: no limit).
  void LimitReads(uint32_t limit);
  // The status query still reports the queued bytes, but reads return none.
  void StarveReads(bool starve);
  // The next `count` writes fail at once.
  void FailWrites(int count);
  // Writes stay pending until released (or the port stops).
  void HoldWrites(bool hold);

  // ---- observation
  [[nodiscard]] Bytes Written() const;
  [[nodiscard]] std::vector<uint32_t> WriteSizes() const;  // sizes of the completed writes, in order
  [[nodiscard]] std::vector<ReadCall> Reads() const;
  [[nodiscard]] std::vector<uint32_t> Masks() const;
  [[nodiscard]] std::vector<LineSettings> SettingsWritten() const;
  [[nodiscard]] std::size_t InputLeft() const;
  [[nodiscard]] int Purges() const;
  [[nodiscard]] int WriteAttempts() const;
  [[nodiscard]] bool Opened() const;
  [[nodiscard]] bool Closed() const;
  [[nodiscard]] uint16_t PortOpened() const;

  // Waits until `count` bytes have been written.
  bool WaitWritten(std::size_t count);
  // Waits until a write is held pending.
  bool WaitWriteHeld();
  // Waits until every raised event has been taken and the port waits again.
  bool WaitIdle();

 private:
  friend class FakeDevice;
  template <typename Pred>
  bool WaitUntil(Pred pred) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kTimeout, pred);
  }

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<uint8_t> input_;
  std::deque<uint32_t> events_;
  uint32_t errors_ = 0;
  uint32_t read_limit_ = 0;
  bool starve_ = false;
  int fail_writes_ = 0;
  bool hold_writes_ = false;
  bool write_held_ = false;
  bool waiting_ = false;
  bool interrupted_ = false;
  bool opened_ = false;
  bool closed_ = false;
  uint16_t port_ = 0;
  uint32_t mask_ = 0;
  int purges_ = 0;
  int write_attempts_ = 0;
  Bytes written_;
  std::vector<uint32_t> write_sizes_;
  std::vector<ReadCall> reads_;
  std::vector<uint32_t> masks_;
  std::vector<LineSettings> settings_written_;
};

class FakeDevice final : public SerialDevice {
 public:
  explicit FakeDevice(std::shared_ptr<FakeLine> line) : line_(std::move(line)) {}

  bool Open(uint16_t port_number) override;
  [[nodiscard]] std::string OpenError() const override;
  [[nodiscard]] std::string Identity() const override { return line_->identity; }
  bool SetupQueues(uint32_t in_size, uint32_t out_size) override;
  bool GetLineSettings(LineSettings& settings) override;
  bool SetLineSettings(const LineSettings& settings) override;
  bool ClearErrors(uint32_t& errors, CommStat& stat) override;
  void PurgeInput() override;
  void SetTimeouts() override {}
  bool SetEventMask(uint32_t mask) override;
  WaitStatus WaitEvent(uint32_t& events) override;
  uint32_t Read(uint8_t* dest, uint32_t count) override;
  WriteStatus Write(const uint8_t* data, uint32_t count, uint32_t wait_ms, uint32_t& written) override;
  void Interrupt() override;
  void Close() override;

 private:
  std::shared_ptr<FakeLine> line_;
};

}  // namespace notavero
