// TComPort: one serial port with an input ring filled by an event thread and
// an output ring drained by a writer thread.  Nothing here waits for bytes to
// move: PutBlock only queues into the output ring, ReadByte only takes from
// the input ring.  A subclass overrides DataReceived, which the event thread
// calls after every fill of the input ring.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/event.h"
#include "serial/serial_device.h"
#include "serial/thread.h"

namespace notavero {

// The serial port's exceptions; what() is the Windows-1251 message with the
// port number in place of "%d".
class ESerialIO : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class EOpenPortFail : public ESerialIO {
 public:
  // "Невозможно открыть COM<n>", followed by " (detail)" when there is one.
  explicit EOpenPortFail(uint16_t port, std::string_view detail = {});
  // "Невозможно открыть <path>", followed by " (detail)" when there is one.
  EOpenPortFail(std::string_view path, std::string_view detail);
};
class ENotSupported : public ESerialIO {
 public:
  using ESerialIO::ESerialIO;
};
class EPortNotOpen : public ESerialIO {
 public:
  explicit EPortNotOpen(uint16_t port);
};
class EBufferIsEmpty : public ESerialIO {
 public:
  explicit EBufferIsEmpty(uint16_t port);
};
class EOutputBufferTooSmall : public ESerialIO {
 public:
  explicit EOutputBufferTooSmall(uint16_t port);
};
class EPutBlockFail : public ESerialIO {
 public:
  explicit EPutBlockFail(uint16_t port);
};

// A snapshot of the port's run-time state, for status displays and tests.
struct PortStatus {
  uint16_t in_head = 0;
  uint16_t in_tail = 0;
  bool in_full = false;
  bool in_overflow = false;
  uint32_t in_count = 0;  // bytes held by the input ring
  uint16_t out_head = 0;
  uint16_t out_tail = 0;
  uint16_t out_ring_size = 0;
  bool out_full = false;
  uint32_t out_pending = 0;  // bytes waiting in the output ring
  uint32_t error_bits = 0;
  int32_t last_write_count = 0;
  CommStat stat;
  uint32_t last_events = 0;
  bool ring_trail_seen = false;
  bool receiving = false;  // the event thread runs (false after a hang-up or a failed wait)
  std::string port_name;
  // The open device itself, whatever name opened it (SerialDevice::Identity;
  // the port's name when the device cannot tell).
  std::string identity;
};

class TComPort {
 public:
  static constexpr uint16_t kInRingSize = 8192;
  static constexpr uint32_t kDefaultBaudRate = 5760;
  static constexpr uint16_t kDefaultQueueSize = 4096;
  static constexpr uint32_t kEventMask = 0x21FD;
  static constexpr uint32_t kFallbackEventMask = 0x01FD;
  static constexpr uint32_t kWriteTimeoutMs = 60000;
  static constexpr std::size_t kThreadStackSize = 16384;
  // How long closing waits for queued output to leave the port.
  static constexpr std::chrono::milliseconds kCloseDrainWait{100};

  // A callback with the event mask of every completed event wait.
  using CommEventHandler = void (*)(void* context, uint32_t events);

  explicit TComPort(uint16_t port_number);  // platform device; 0 = no port, stays closed
  TComPort(uint16_t port_number, std::unique_ptr<SerialDevice> device);
  // A port named by its device path: `device` opens that path (the port's
  // number is 0; log lines and errors name the path).
  TComPort(std::string_view device_path, std::unique_ptr<SerialDevice> device);
  virtual ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  // Called on the event thread after each fill of the input ring with the
  // number of bytes that fill added (also 0).  Does nothing here.
  virtual void DataReceived(uint32_t count);
  // Called on the event thread when the port failed under it (see Lost).
  // Does nothing here.
  virtual void PortFailed();

  // Each setter stores its value and changes exactly that setting of an open port.
  void SetBaudRate(uint32_t value);
  void SetByteSize(uint8_t value);
  void SetStopBits(uint8_t value);
  void SetParity(uint8_t value);

  uint8_t ReadByte();                                  // EPortNotOpen, EBufferIsEmpty
  void PutBlock(const uint8_t* data, uint16_t count);  // EPortNotOpen, EOutputBufferTooSmall, EPutBlockFail
  void Purge();                                        // EPortNotOpen

  [[nodiscard]] uint16_t PortNumber() const { return port_number_; }
  // The device path the port was opened by; empty for a port by number.
  [[nodiscard]] const std::string& DevicePath() const { return device_path_; }
  [[nodiscard]] bool IsOpen() const { return opened_.load(std::memory_order_acquire); }
  // The port failed under the driver: its event wait ended by itself (a
  // hang-up, the device gone), so nothing more can be received until the
  // port is opened again.
  [[nodiscard]] bool Lost() const { return lost_.load(); }
  [[nodiscard]] uint32_t BaudRate() const { return baud_rate_; }
  [[nodiscard]] uint8_t ByteSize() const { return byte_size_; }
  [[nodiscard]] uint8_t StopBits() const { return stop_bits_; }
  [[nodiscard]] uint8_t Parity() const { return parity_; }
  [[nodiscard]] PortStatus Status() const;
  void SetOnCommEvent(CommEventHandler handler, void* context);

  // Log lines of this port at level 1: "[COM<n>]:  " and the text, and a
  // caption followed by bytes in hexadecimal.
  void LogPortLine(std::string_view text);
  void LogPacket(std::string_view caption, const uint8_t* bytes, std::size_t count);

 protected:
  // Lets the event thread call DataReceived; the most-derived constructor
  // calls it last.  Bytes that arrive before stay in the input ring.
  void EnableDataReceived();
  // Called from DataReceived: the subclass can act on nothing before `count`
  // more bytes are in (the rest of a frame), so the device may announce them
  // in fewer events (SerialDevice::HoldInput) than byte by byte; the last of
  // them comes as soon as it arrives.  A DataReceived that does not call
  // it wants every byte at once; a Purge also ends the request.
  void AwaitBytes(uint32_t count) { await_bytes_ = count; }
  // Stops and joins both threads and releases the device; idempotent.  A
  // subclass calls it first in its destructor so that no DataReceived runs
  // while the subclass part is destroyed.
  void Close();
  // Closes the port and opens the same device again with the same settings;
  // throws as the constructor does when it cannot.
  void Reopen();

 private:
  void Open();
  // Throws the port's "cannot open" error, naming its path or number.
  [[noreturn]] void FailOpen(std::string_view detail) const;
  void ReleaseResources();
  // Values of ApplySettings's arguments that leave a setting as the device
  // has it, so that each setter changes exactly one setting.
  static constexpr uint32_t kKeepBaudRate = 0;
  static constexpr uint16_t kKeepParity = 5;
  static constexpr uint8_t kKeepByteSize = 9;
  static constexpr uint8_t kKeepStopBits = 3;
  void ApplySettings(uint32_t baud, uint16_t parity, uint8_t byte_size, uint8_t stop_bits);
  uint32_t GetErrors(CommStat& stat);
  void RefreshStatus();
  void CheckOpen() const;
  uint8_t PeekByte(uint16_t index) const;
  void StartThreads();
  void StopThreads();
  uint32_t AppendOutput(const uint8_t* data, uint32_t count);
  void EventThread();
  void FillInputRing();
  uint32_t ReadPort(uint8_t* dest, uint32_t count);
  void WriterThread();
  void DrainOutput();
  bool OutputPending() const;
  uint32_t InCount() const;     // under port_lock_
  uint32_t OutPending() const;  // under port_lock_
  // Waits up to `ms` or until the port stops; no busy retry anywhere.
  void PauseUnlessStopped(uint32_t ms);

  uint32_t baud_rate_ = kDefaultBaudRate;
  uint16_t port_number_;
  uint8_t byte_size_ = 8;
  uint8_t stop_bits_ = 1;
  uint8_t parity_ = 0;
  uint16_t out_queue_size_ = kDefaultQueueSize;
  uint16_t in_queue_size_ = kDefaultQueueSize;
  std::atomic<bool> opened_{false};
  std::unique_ptr<SerialDevice> device_;

  // Run-time state of the open port.  Ring indices, flags and status fields
  // are changed only under port_lock_.
  mutable std::recursive_mutex port_lock_;
  std::string port_name_;
  std::string identity_;
  int32_t last_write_count_ = 0;
  uint32_t error_bits_ = 0;
  uint32_t event_mask_ = 0;
  uint16_t in_queue_copy_ = 0;
  uint16_t out_ring_size_ = 0;
  CommStat stat_;
  LineSettings dcb_;
  bool in_full_ = false;
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> data_received_enabled_{false};
  std::atomic<bool> receiving_{false};
  std::atomic<bool> lost_{false};
  // Purges so far: a request of AwaitBytes made from bytes read before a
  // purge is not passed on after it.  Changed under port_lock_.
  std::atomic<uint64_t> purges_{0};
  uint32_t await_bytes_ = 1;  // event thread only (AwaitBytes)
  const std::string device_path_;
  Thread event_thread_;
  Thread writer_thread_;
  Event ack_event_{Event::Mode::kAutoReset};
  Event output_event_{Event::Mode::kAutoReset};
  std::mutex stop_mutex_;  // guards the pause of PauseUnlessStopped
  std::condition_variable stop_cv_;
  uint32_t last_events_ = 0;  // event thread only; copied to last_events_seen_ under the lock
  uint32_t last_events_seen_ = 0;
  bool ring_trail_seen_ = false;
  CommEventHandler on_comm_event_ = nullptr;
  void* on_comm_event_context_ = nullptr;
  std::vector<uint8_t> out_buffer_;
  uint16_t out_head_ = 0;
  uint16_t out_tail_ = 0;
  bool out_full_ = false;
  std::vector<uint8_t> in_buffer_;
  uint16_t in_head_ = 0;
  uint16_t in_tail_ = 0;
  bool in_overflow_ = false;
};

}  // namespace notavero
