// The driver object: the serial port, the command exchange with its response
// assembly, the device commands, the host's mailbox and the polling thread.
//
// Names: what hosts and the exported interface see keeps the names it has
// there, and the driver's own types and codes follow them (T for types, E
// for errors, xs/ds/be/cmd for codes: TNotavero, TComPort, DataReceived,
// GetVersion, SetEnabled, GetStatusText, xsTimeout).  Everything else is in
// the project's style: functions in mixed case, members in lower case with
// a trailing underscore.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/event.h"
#include "driver/bill_cycle.h"
#include "driver/bill_table.h"
#include "driver/notavero_host.h"
#include "log/repeat_filter.h"
#include "protocol/response_assembler.h"
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

// Why a device command, or the cycle around it, could not go on.
enum class TDriverFault : uint8_t {
  kExchange,        // a command's exchange ended in another status than xsOk
  kLineNeverQuiet,  // the line did not fall quiet before a poll (the settle limit)
  kStaleReplies,    // each reply of a poll may have answered an earlier frame
  kPortLost,        // the port failed under the driver: the polling thread reopens it
  kStopping,        // the driver is being destroyed: the cycle is left at once
};

// The one error the driver raises itself.  For the device's faults the
// message is the cash device error ("Ошибка кассы: "); Detail() says which
// command failed and how.  A lost port and a stop end the cycle without a
// word in the log and never reach the host.
class EDriverFault : public std::runtime_error {
 public:
  explicit EDriverFault(TDriverFault fault, uint8_t command = 0, uint16_t status = 0);
  [[nodiscard]] TDriverFault Fault() const { return fault_; }
  // The command and its exchange's status (TExchangeStatus, kExchange only).
  [[nodiscard]] uint8_t Command() const { return command_; }
  [[nodiscard]] uint16_t Status() const { return status_; }
  // Windows-1251, for the log: the command in hexadecimal and the reason.
  [[nodiscard]] std::string Detail() const;

 private:
  TDriverFault fault_;
  uint8_t command_;
  uint16_t status_;
};

class TNotavero;

// Seams for tests, never set in production.  before_hand_over runs on the
// event thread when a reply is handed to the exchange, just before the
// exchange is woken: a test can hold it there to force the interleavings
// the hand-over must survive.
namespace testing_seams {
inline std::atomic<void (*)()> before_hand_over{nullptr};
// Runs on the host's thread as destruction begins to wind the driver down.
inline std::atomic<void (*)()> on_wind_down{nullptr};
}  // namespace testing_seams

// The polling thread: runs cycles until terminated.
class TNotaveroThread {
 public:
  explicit TNotaveroThread(TNotavero& driver);  // starts running at once
  ~TNotaveroThread();                           // terminates and joins (detaches when run on itself)
  TNotaveroThread(const TNotaveroThread&) = delete;
  TNotaveroThread& operator=(const TNotaveroThread&) = delete;

  void Terminate() { terminated_.store(true); }
  [[nodiscard]] bool Terminated() const { return terminated_.load(); }
  [[nodiscard]] bool IsCurrentThread() const { return std::this_thread::get_id() == thread_.get_id(); }
  void WaitFor();

 private:
  void Execute();
  // One poll, its state shown and handed to the bill cycle.
  void RunCycle();
  // One guarded cycle; false when the driver is stopping.
  bool GuardedCycle();
  // The port failed: reports it, then reopens it every second until it opens
  // or the driver is destroyed, and starts over as with a new device.
  void Recover();
  void LogError(const std::string& line, Clock::TimePoint started);

  TNotavero& driver_;
  std::atomic<bool> terminated_{false};
  LogRepeatFilter errors_;  // polling thread only
  std::thread thread_;
};

// Where bill events go: a C++ callback, or a C callback with its user
// pointer.  With neither, a bill in escrow is returned, never stacked.  The
// event callback (state, link, rejections, unconfirmed bills) is optional.
struct TBillSink {
  TBillCallback callback = nullptr;
  nv_bill_callback c_callback = nullptr;
  void* user = nullptr;
  nv_event_callback event_callback = nullptr;
  uint32_t flags = 0;                              // NV_OPT_*
  nv_bill_ex_callback bill_ex_callback = nullptr;  // takes c_callback's place when set
  // The host's acceptance request holds until withdrawn: applied once the
  // bill table is known and again after every reset and reopen (the C
  // interface's hosts).  Without it an enable made before the table is
  // consumed, as GetDriver hosts have always had it.
  bool standing_enable = false;
  // The drivers that pass unsettled outcomes on to each other: the
  // process's when null (tests give theirs one of its own).
  THandOver* hand_over = nullptr;
};

// The host's callbacks, whichever flavour it gave (a GetDriver callback, the
// C interface's plain or extended one, with or without recording outcomes
// first): the adapters are in exports.cpp.
class TBillHost {
 public:
  virtual ~TBillHost() = default;
  // A bill in escrow: true to stack it.
  virtual bool Escrow(CurrencyAmount amount, uint8_t bill_type) = 0;
  // A stacked or returned bill: false when the host could not record it
  // (NV_OUTCOME_RETRY under NV_OPT_ACK_AFTER_CALLBACK).
  virtual bool Outcome(TBillEvent kind, CurrencyAmount amount, uint8_t bill_type) = 0;
  virtual void Notify(int32_t kind, int32_t code) = 0;
  [[nodiscard]] virtual bool TakesEvents() const = 0;
  [[nodiscard]] virtual bool RecordsOutcomes() const = 0;
};
std::unique_ptr<TBillHost> MakeBillHost(const TBillSink& sink);

// What the driver counted since it was opened (see nv_counters).
struct TDriverCounters {
  std::array<uint32_t, kBillTypeCount> stacked{};
  CurrencyAmount stacked_amount = 0;
#define NV_COUNT_FIELD_(field, metric, help) uint32_t field = 0;
  NV_COUNTER_LIST(NV_COUNT_FIELD_)
#undef NV_COUNT_FIELD_
  std::optional<std::chrono::steady_clock::time_point> last_answer;
};

// A bill the driver sent to the stacker whose outcome the device never
// reported (no stacked, returned or rejected event), or a stacked bill whose
// value the driver could not know: money to reconcile by hand.
struct TUnconfirmedBill {
  uint8_t bill_type = 0;
  CurrencyAmount amount = 0;  // 0 when the value is unknown
};

// The driver's timings.  The defaults are the device's and hold for every
// host; tests shorten nothing, they run the driver on a clock of their own.
struct TTimings {
  // The exchange: how long a reply may take, how often a frame goes out,
  // and the pause after a frame that awaits no reply.
  std::chrono::milliseconds response_timeout{2000};
  int attempts = 3;
  std::chrono::milliseconds no_reply_pause{100};
  // How long the event thread holds back the rest of a batch while the
  // exchange takes its reply.
  std::chrono::milliseconds hand_over_wait{110};
  // How long the line must stay quiet before a poll after a time-out (a
  // reply may come up to a little over one response wait late), and after
  // a late acknowledge (the poll's own reply follows at once).
  std::chrono::milliseconds settle_after_timeout{2500};
  std::chrono::milliseconds settle_after_late_reply{300};
  // A line that never falls quiet fails the cycle after this long.
  std::chrono::milliseconds settle_limit{15000};
  // A failed cycle that took less than this is followed by a pause up to
  // it, so that a driver without a device does not spin a core or flood
  // the log; one that took `slow_failure` or longer waited for the device
  // and is always logged.
  std::chrono::milliseconds failed_cycle_pace{100};
  std::chrono::milliseconds slow_failure{1000};
  // How long the driver waits between attempts to reopen a lost port.
  std::chrono::milliseconds reopen_interval{1000};
  // How long destruction waits for the outcome of a bill that is on its way
  // to the cassette before it reports the bill as unconfirmed.
  std::chrono::milliseconds wind_down_limit{2500};
};

class TNotavero final : public NotaveroDriver, public TComPort, private TCycleDevice, private TCycleHost {
 public:
  // Size of the commands' exchange buffers.
  static constexpr std::size_t kCommandBufferSize = 11;
  static constexpr std::size_t kBillTableBufferSize = 201;

  // Opens COM<port> (0: no port) on the platform's serial device, or on
  // `device` when given (tests, other transports), and starts the polling
  // thread.  Throws the port's error when it cannot be opened or configured.
  // Every wait of the driver runs on `clock`, which outlives the driver.
  explicit TNotavero(uint8_t port, TBillSink sink = {}, std::unique_ptr<SerialDevice> device = nullptr,
                     const TTimings& timings = {}, Clock& clock = Clock::Steady());
  // Opens the serial device at `device_path` instead.
  TNotavero(std::string_view device_path, TBillSink sink, std::unique_ptr<SerialDevice> device = nullptr,
            const TTimings& timings = {}, Clock& clock = Clock::Steady());
  // Stops the polling thread (after a running callback returns), then the
  // port's threads, then releases everything.
  ~TNotavero() override;

  // Stops and releases the driver.  Called from the host's callback (on the
  // polling thread) it returns at once: the polling thread releases the
  // driver itself when the callback has returned.
  void Release();

  [[nodiscard]] const TTimings& Timings() const { return timings_; }

  // Host operations.
  void DataReceived(uint32_t count) override;
  void PortFailed() override;
  void GetVersion(unsigned char* buffer) override;
  void SetEnabled(bool value) override;
  std::size_t GetStatusText(char* buffer, std::size_t size) override;
  [[nodiscard]] std::string StatusText() const;
  // The status word of the last successful poll; -1 before the first.
  [[nodiscard]] int32_t State() const { return state_.load(); }
  // NV_LINK_*.
  [[nodiscard]] int32_t Link() const { return link_.load(); }
  // The host's last acceptance request (false before any).
  [[nodiscard]] bool EnableWanted() const { return (enable_request_.load() & kEnableValue) != 0; }
  [[nodiscard]] TDriverCounters Counters() const;

  // The command exchange (polling thread only).  `buffer` carries the payload
  // in and the reply frame out; `expected` > 0 awaits a reply, and on xsOk
  // receives the reply's length.  A reply longer than the buffer is cut to it.
  uint16_t Exchange(uint8_t* buffer, std::size_t buffer_size, std::size_t n, int32_t& expected);

  // Device commands (polling thread only); each raises EDriverFault when its
  // exchange fails.
  // The status word of a poll answered by a reply of another length: a word
  // all the same, which the cycle shows and logs as the state 00-00 and does
  // not act on (unlike a reply without status, below).
  static constexpr uint16_t kUnexpectedReply = 0;
  // The status word of one poll, acknowledged unless it is an event that
  // `hold_events` keeps for later.  Empty when the reply carried no status
  // (a late acknowledge or refusal of an earlier command).  A reply that may
  // answer an earlier frame (its exchange timed out first) is not trusted:
  // the line is left to fall quiet and the device polled again.
  std::optional<uint16_t> Poll(bool hold_events = false);
  void Ack() override;
  void Reset() override;
  void Initialize() {}
  void GetStatus();
  // False (values all 0) when another frame than the table answered.
  bool GetBillTable(BillValueTable& values);
  void SetSecurity();
  uint32_t EnableBillTypes(bool enable) override;  // returns the mask sent
  void Stack() override;
  void ReturnBill() override;

  // A copy of the bill values, for any thread.
  [[nodiscard]] BillValueTable BillValues() const;
  // Bills whose outcome the device never reported, in the order met.
  [[nodiscard]] std::vector<TUnconfirmedBill> UnconfirmedBills() const;

  // What the polling thread works with (polling thread only, except where
  // said).
  [[nodiscard]] Clock& GetClock() const { return clock_; }
  [[nodiscard]] TBillCycle& Cycle() { return cycle_; }
  [[nodiscard]] THandOver& HandOver() const { return hand_over_; }
  // Ends every wait of the polling thread when the driver is destroyed (any
  // thread).
  [[nodiscard]] Event& Stopping() { return stopping_; }
  // Nothing is left that the device could still turn into money or report
  // again: the destructor may stop the exchanges.
  void WoundDown() { wound_down_.Set(); }
  // The host released the driver from its own callback (any thread).
  [[nodiscard]] bool ReleasedByHost() const { return released_by_poller_.load(); }
  // Logs, shows and tells the host the state of a polled status word.
  void ShowState(uint16_t status);
  // Sets the link state, telling the host when it changes.
  void SetLink(int32_t link);
  void CountFailedCycle();
  // The port was lost: closes it, and opens it afresh (throws while it is
  // still gone).  A reply of the old line is not trusted after it.
  void ClosePort() { Close(); }
  void ReopenPort();

 private:
  void SendFrame(const uint8_t* frame, std::size_t count);
  void PrepareExchange();
  void WaitResponse(std::chrono::milliseconds timeout);
  void ProcessRxByte();
  // Leaves the cycle (EDriverFault) when the driver is being destroyed or
  // the port failed under it.
  void CheckStopping() const;
  // While set, destruction does not stop the exchanges: a report in hand is
  // finished (acknowledged, told to the host) before the thread ends.
  void Finishing(bool on) override { finishing_ += on ? 1 : -1; }
  // Waits until the line has been quiet long enough that no reply to an
  // earlier frame can still be on its way.
  void Settle();
  // Marks the line as suspect: the next poll waits for it to stay quiet
  // for at least `quiet` first.
  void SuspectLine(std::chrono::milliseconds quiet);
  // Sends the disable command on the way out, when acceptance may be on.
  void DisableOnClose();
  // One command's exchange: the first n bytes of buffer go out, and a reply
  // is awaited when expected > 0.  Raises EDriverFault unless the exchange
  // ends in xsOk; returns the reply's length.
  int32_t Command(uint8_t* buffer, std::size_t buffer_size, std::size_t n, int32_t expected);
  // Sends a command without parameters that awaits no reply.
  void SendSimple(uint8_t command);
  // Publishes a polled status word: state, rejection and power-up events.
  void PublishState(uint16_t status);
  // Counts under the status lock (polling thread).
  template <typename Change>
  void Count(Change change) {
    const std::lock_guard lock(status_lock_);
    change(counters_);
  }
  void Start();
  // Publishes the text of the last successful poll.
  void SetStatusText(std::string text);

  // What the bill cycle asks of the device (polling thread).
  bool LoadTable() override;
  // The value of a bill type; 0 when unknown (no table yet, out of the table).
  [[nodiscard]] CurrencyAmount ValueOf(uint8_t bill_type) const override;
  // The host's pending enable request, if any: true with its value.
  bool TakeEnableRequest(bool& value, uint32_t& request) override;
  void EnableRequestDone(uint32_t request) override;
  // Asks for acceptance again after the port was reopened, unless the host
  // withdrew it or made a newer request meanwhile.
  void RestoreEnableRequest() override;
  void Pause() override;

  // The host as the bill cycle sees it (polling thread).  From the moment
  // a callback that released the driver returns, no callback of any kind
  // reaches the host.
  bool Escrow(CurrencyAmount amount, uint8_t bill_type) override;
  bool Outcome(TBillEvent kind, CurrencyAmount amount, uint8_t bill_type) override;
  void Notify(int32_t kind, int32_t code) override;
  void Unconfirmed(uint8_t bill_type, CurrencyAmount amount) override;
  void CountBill(TBillEvent kind, uint8_t bill_type, CurrencyAmount amount, int sign) override;
  [[nodiscard]] bool Gone() const override { return released_by_poller_.load(); }
  [[nodiscard]] bool TakesEvents() const override { return host_->TakesEvents(); }
  [[nodiscard]] bool RecordsOutcomes() const override { return host_->RecordsOutcomes(); }
  [[nodiscard]] bool StandingEnable() const override { return standing_enable_; }

  // Response assembly, shared by the event thread and the polling thread;
  // rx_lock_ keeps the two from touching the buffer at the same time.
  std::mutex rx_lock_;
  TResponseAssembler rx_;
  Event response_ready_{Event::Mode::kAutoReset};
  Event response_taken_{Event::Mode::kManualReset};
  // Set when the driver is being destroyed: ends the no-reply pause and
  // makes the exchange give up.
  Event stopping_{Event::Mode::kManualReset};
  std::atomic<bool> destroying_{false};
  std::atomic<uint16_t> exchange_status_{xsOk};
  // Bytes the event thread has handed to DataReceived: tells a quiet line.
  std::atomic<uint64_t> rx_bytes_{0};
  // Polling thread only: a reply to an earlier frame may still be on its way
  // (an attempt timed out, or a late reply was seen), and how long the line
  // must stay quiet before the next reply can be trusted.
  // A new driver starts suspicious: a reply to a frame of the driver that
  // had the port before may still be on its way.
  bool line_suspect_ = true;
  bool first_reply_ = true;
  // An exchange timed out since the last good poll: a reply that is not a
  // poll's may be the late answer to it.
  bool recent_timeout_ = false;
  int finishing_ = 0;                // polling thread only: see TFinishing
  bool state_after_reopen_ = false;  // polling thread only
  std::chrono::milliseconds settle_quiet_;
  // Set when the host released the driver from its own callback.
  std::atomic<bool> released_by_poller_{false};
  // Destruction from a host's thread waits on it (up to the wind-down
  // limit) while the bill cycle settles what the device holds.
  Event wound_down_{Event::Mode::kManualReset};
  std::atomic<int32_t> state_{-1};
  std::atomic<int32_t> link_{NV_LINK_UNKNOWN};

  // Written by the polling thread only, under status_lock_; read there freely
  // and by other threads under the lock.
  BillValueTable bill_values_{};
  void SetBillValues(const BillValueTable& values);

  // The host's request: bit 0 pending, bit 1 value, the rest a count of
  // requests, so that a request made while an earlier one is being sent is
  // never lost.
  static constexpr uint32_t kEnableRequested = 1;
  static constexpr uint32_t kEnableValue = 2;
  static constexpr uint32_t kEnableCountUnit = 4;
  std::atomic<uint32_t> enable_request_{0};

  // Set before the polling thread starts, never changed.
  const std::unique_ptr<TBillHost> host_;
  const bool standing_enable_;
  THandOver& hand_over_;
  const TTimings timings_;
  Clock& clock_;

  // Guards what the host's threads read: status_text_ and bill_values_.
  mutable std::mutex status_lock_;
  std::string status_text_;
  std::vector<TUnconfirmedBill> unconfirmed_;
  TDriverCounters counters_;

  // The bill's state and the money decisions (polling thread; what it
  // publishes, any thread).
  TBillCycle cycle_{*this, *this};
  std::unique_ptr<TNotaveroThread> poller_;
};

}  // namespace notavero
