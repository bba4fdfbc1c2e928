// The driver object: the serial port, the command exchange with its response
// assembly, the device commands, the host's mailbox and the polling thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/event.h"
#include "driver/bill_table.h"
#include "driver/notavero_host.h"
#include "driver/response_assembler.h"
#include "serial/com_port.h"

namespace notavero {

// Status of a command exchange.
enum TExchangeStatus : uint16_t {
  xsOk = 0,
  xsSendFailed = 220,
  xsTimeout = 221,
  xsBadCrc = 222,
  xsWaiting = 224,
};

// Raised by a device command whose exchange did not end in xsOk.
class ECashDevice : public std::runtime_error {
 public:
  ECashDevice();
};

// Raised inside the polling thread when the driver is being destroyed, to
// leave the current cycle at once; never logged, never seen by the host.
class EDriverStopping : public std::runtime_error {
 public:
  EDriverStopping() : std::runtime_error("driver stopping") {}
};

class TNotavero;

// The polling thread: runs cycles until terminated.
class TNotaveroThread {
 public:
  explicit TNotaveroThread(TNotavero& driver);  // starts running at once
  ~TNotaveroThread();                           // terminates and joins
  TNotaveroThread(const TNotaveroThread&) = delete;
  TNotaveroThread& operator=(const TNotaveroThread&) = delete;

  void Terminate() { terminated_.store(true); }
  [[nodiscard]] bool Terminated() const { return terminated_.load(); }
  void WaitFor();

 private:
  void Execute();
  void RunCycle(bool& need_init);

  TNotavero& Driver;
  std::atomic<bool> terminated_{false};
  std::thread thread_;
};

// Where bill events go: a C++ callback, or a C callback with its user
// pointer.  With neither, a bill in escrow is returned, never stacked.
struct TBillSink {
  TBillCallback callback = nullptr;
  nv_bill_callback c_callback = nullptr;
  void* user = nullptr;
};

// A bill the driver sent to the stacker whose outcome the device never
// reported (no stacked, returned or rejected event), or a stacked bill whose
// value the driver could not know: money to reconcile by hand.
struct TUnconfirmedBill {
  uint8_t bill_type = 0;
  CurrencyAmount amount = 0;  // 0 when the value is unknown
};

class TNotavero final : public NotaveroDriver, public TComPort {
 public:
  // Fixed timings of the exchange.
  static constexpr std::chrono::milliseconds kResponseTimeout{2000};
  static constexpr int kAttempts = 3;
  static constexpr std::chrono::milliseconds kNoReplyPause{100};
  static constexpr std::chrono::milliseconds kHandOverWait{110};
  // Size of the commands' exchange buffers.
  static constexpr std::size_t kCommandBufferSize = 11;
  static constexpr std::size_t kBillTableBufferSize = 201;

  // Opens COM<port> (0: no port) on the platform's serial device, or on
  // `device` when given (tests, other transports), and starts the polling
  // thread.  Throws the port's error when it cannot be opened or configured.
  explicit TNotavero(uint8_t port, TBillSink sink = {}, std::unique_ptr<SerialDevice> device = nullptr);
  // Stops the polling thread (after a running callback returns), then the
  // port's threads, then releases everything.
  ~TNotavero() override;

  // Host operations.
  void DataReceived(uint32_t count) override;
  void GetVersion(unsigned char* buffer) override;
  void SetEnabled(bool value) override;
  std::size_t GetStatusText(char* buffer, std::size_t size) override;
  [[nodiscard]] std::string StatusText() const;

  // The command exchange (polling thread only).  `buffer` carries the payload
  // in and the reply frame out; `expected` > 0 awaits a reply, and on xsOk
  // receives the reply's length.  A reply longer than the buffer is cut to it.
  uint16_t Exchange(uint8_t* buffer, std::size_t buffer_size, std::size_t n, int32_t& expected);

  // Device commands (polling thread only); each raises ECashDevice when its
  // exchange fails.
  uint16_t Poll();
  void Ack();
  void Reset();
  void Initialize() {}
  void GetStatus();
  void GetBillTable(BillValueTable& values);
  void SetSecurity();
  void EnableBillTypes(bool enable);
  void Stack();
  void ReturnBill();

  // A copy of the bill values, for any thread.
  [[nodiscard]] BillValueTable BillValues() const;
  // Bills whose outcome the device never reported, in the order met.
  [[nodiscard]] std::vector<TUnconfirmedBill> UnconfirmedBills() const;

 private:
  friend class TNotaveroThread;

  void SendFrame(const uint8_t* frame, std::size_t count);
  void PrepareExchange();
  void WaitResponse(std::chrono::milliseconds timeout);
  void ProcessRxByte();
  void CheckStopping() const;
  // One command's exchange: the first n bytes of buffer go out, and a reply
  // is awaited when expected > 0.  Raises ECashDevice unless the exchange
  // ends in xsOk; returns the reply's length.
  int32_t Command(uint8_t* buffer, std::size_t buffer_size, std::size_t n, int32_t expected);
  // Sends a command without parameters that awaits no reply.
  void SendSimple(uint8_t command);
  // Calls the host for a bill event; returns its decision.
  bool NotifyBill(TBillEvent kind, uint8_t bill_type);
  // Publishes the text of the last successful poll.
  void SetStatusText(std::string text);
  // The host's pending enable request, if any: true with its value.
  bool TakeEnableRequest(bool& value, uint32_t& request) const;
  void EnableRequestDone(uint32_t request);

  // Response assembly, shared by the event thread and the polling thread;
  // RxLock keeps the two from touching the buffer at the same time.
  std::mutex RxLock;
  TResponseAssembler Rx;
  Event ResponseReady{Event::Mode::kAutoReset};
  Event ResponseTaken{Event::Mode::kManualReset};
  // Set when the driver is being destroyed: ends the no-reply pause and
  // makes the exchange give up.
  Event Stopping{Event::Mode::kManualReset};
  std::atomic<bool> Destroying{false};
  std::atomic<uint16_t> ExchangeStatus{xsOk};

  // Written by the polling thread only, under StatusLock; read there freely
  // and by other threads under the lock.
  BillValueTable BillValues_{};
  void SetBillValues(const BillValueTable& values);

  // The host's request: bit 0 pending, bit 1 value, the rest a count of
  // requests, so that a request made while an earlier one is being sent is
  // never lost.
  static constexpr uint32_t kEnableRequested = 1;
  static constexpr uint32_t kEnableValue = 2;
  static constexpr uint32_t kEnableCountUnit = 4;
  std::atomic<uint32_t> EnableRequest{0};

  // Set before the polling thread starts, never changed.
  const TBillSink BillCallback;

  // Guards what the host's threads read: StatusText_ and BillValues_.
  mutable std::mutex StatusLock;
  std::string StatusText_;
  std::vector<TUnconfirmedBill> Unconfirmed_;

  std::unique_ptr<TNotaveroThread> Poller;
};

}  // namespace notavero
