#include "driver/notavero_unit.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <utility>

#include "common/hex.h"
#include "driver/platform.h"
#include "log/log_phrases.h"
#include "log/logger.h"
#include "protocol/codes.h"
#include "protocol/frame.h"
#include "protocol/state_text.h"

namespace notavero {

namespace {

constexpr uint8_t kVersion[] = {13, 'v', '1', '.', '0', '#', 'N', 'o', 't', 'a', 'v', 'e', 'r', 'o'};
static_assert(sizeof kVersion == 14);

// Data bytes of the device's own acknowledge and refusal frames.
constexpr uint8_t kDeviceAck = 0x00;
constexpr uint8_t kDeviceRefusal = 0xFF;

// The enable command's payload: the command byte, then the mask's parameters.
std::array<uint8_t, 1 + kEnableParameterCount> EnablePayload(uint32_t mask) {
  const auto parameters = EnableParameters(mask);
  std::array<uint8_t, 1 + kEnableParameterCount> payload{cmdEnableBillTypes};
  std::copy(parameters.begin(), parameters.end(), payload.begin() + 1);
  return payload;
}

// Longest reply the exchange logs or copies: a frame is at most 255 bytes.
constexpr std::size_t kMaxReply = kMaxFrameLength;

// Outcomes that a driver reported to its host and acknowledged, with no later
// poll to show that the device took the acknowledge, by device (its
// identity, not the name it was opened by: a link and the device it names
// are one).  A driver that ends leaves its outcome here, or passes on the
// one it was left and never saw settled; the next driver on the same device
// in this process takes the device's repeat of it for what it is, and does
// not report the bill a second time.
class OutcomeHandOver {
 public:
  static void Leave(const std::string& port, const TOutcomeSeen& outcome) {
    auto& self = Instance();
    const std::lock_guard lock(self.mutex_);
    self.left_.insert_or_assign(port, outcome);
  }
  static std::optional<TOutcomeSeen> Take(const std::string& port) {
    auto& self = Instance();
    const std::lock_guard lock(self.mutex_);
    const auto found = self.left_.find(port);
    if (found == self.left_.end()) {
      return std::nullopt;
    }
    const TOutcomeSeen outcome = found->second;
    self.left_.erase(found);
    return outcome;
  }

 private:
  static OutcomeHandOver& Instance() {
    static auto* instance = new OutcomeHandOver;  // never destroyed: drivers may end during exit
    return *instance;
  }
  std::mutex mutex_;
  std::map<std::string, TOutcomeSeen, std::less<>> left_;
};

void AppendOutcome(std::string& line, const TOutcomeSeen& outcome) {
  AppendHex2(line, outcome.device_state);
  line += '-';
  AppendHex2(line, outcome.bill_type);
}

}  // namespace

EDriverFault::EDriverFault(TDriverFault fault, uint8_t command, uint16_t status)
    : std::runtime_error(fault == TDriverFault::kPortLost   ? "port lost"
                         : fault == TDriverFault::kStopping ? "driver stopping"
                                                            : phrase::kCashDeviceError.str()),
      fault_(fault),
      command_(command),
      status_(status) {}

std::string EDriverFault::Detail() const {
  std::string_view reason;
  switch (fault_) {
    case TDriverFault::kExchange:
      reason = status_ == xsTimeout  ? phrase::kNoAnswer.view()
               : status_ == xsBadCrc ? phrase::kBadChecksum.view()
                                     : phrase::kNotSent.view();
      break;
    case TDriverFault::kLineNeverQuiet:
      reason = phrase::kLineNeverQuiet;
      break;
    case TDriverFault::kStaleReplies:
      reason = phrase::kStaleReplies;
      break;
    case TDriverFault::kPortLost:
    case TDriverFault::kStopping:
      return {};
  }
  std::string detail(phrase::kFailedCommand);
  AppendHex2(detail, command_);
  detail += ": ";
  detail += reason;
  return detail;
}

// ---------------------------------------------------------------------------
// Construction and destruction

TNotavero::TNotavero(uint8_t port, TBillSink sink, std::unique_ptr<SerialDevice> device,
                     const TTimings& timings, Clock& clock)
    : TComPort(port, device ? std::move(device) : MakePlatformDevice()),
      settle_quiet_(timings.settle_after_late_reply),
      sink_(sink),
      timings_(timings),
      clock_(clock) {
  Start();
}

TNotavero::TNotavero(std::string_view device_path, TBillSink sink, std::unique_ptr<SerialDevice> device,
                     const TTimings& timings, Clock& clock)
    : TComPort(device_path, device ? std::move(device) : MakePlatformDevice(std::string(device_path))),
      settle_quiet_(timings.settle_after_late_reply),
      sink_(sink),
      timings_(timings),
      clock_(clock) {
  Start();
}

void TNotavero::Start() {
  SetBaudRate(9600);
  SetParity(0);
  SetByteSize(8);
  SetStopBits(1);
  try {
    LogInit(LogFilePath());
  } catch (...) {  // NOLINT(bugprone-empty-catch): the driver runs without a log
  }
  // From here on the object is whole: the event thread may call
  // DataReceived, and the polling thread may start.
  EnableDataReceived();
  try {
    poller_ = std::make_unique<TNotaveroThread>(*this);
  } catch (...) {
    // The event thread may be inside DataReceived: it stops before the
    // members it uses go.
    Close();
    throw;
  }
}

TNotavero::~TNotavero() {
  // A bill on its way to the cassette is followed to its outcome first, for
  // a bounded time, so that the host hears of it as stacked rather than as
  // unconfirmed; no new bill is offered to the host meanwhile.
  if (poller_ && !poller_->IsCurrentThread() && !released_by_poller_.load()) {
    winding_down_.store(true);
    if (const auto seam = testing_seams::on_wind_down.load(std::memory_order_acquire)) {
      seam();
    }
    // A device that answers gets the polls that settle what it holds: a bill
    // in escrow goes back and its return is told, and an outcome whose
    // acknowledge no poll has confirmed is confirmed, so that nothing is left
    // for the next driver (or the next process) to report again.  A bill on
    // its way to the cassette is followed through failed polls too; a lost
    // port has nothing to say.
    const int32_t link = Link();
    if ((link == NV_LINK_ONLINE && unsettled_.load()) ||
        (bill_in_hand_.load() && link != NV_LINK_PORT_LOST)) {
      clock_.WaitFor(wound_down_, timings_.wind_down_limit);
    }
  }
  // The polling thread goes first, while everything it uses still exists:
  // every wait it may be in ends at once, then it is joined.  A host
  // callback that is running is waited for.
  destroying_.store(true);
  if (poller_) {
    poller_->Terminate();
  }
  stopping_.Set();
  response_ready_.Cancel();
  response_taken_.Cancel();  // releases an event thread in its hand-over wait
  poller_.reset();
  DisableOnClose();
  Close();
}

void TNotavero::Release() {
  if (poller_ && poller_->IsCurrentThread()) {
    // Inside the host's callback: no frame goes out after it returns, and
    // the polling thread deletes the driver on its way out.
    released_by_poller_.store(true);
    destroying_.store(true);
    poller_->Terminate();
    stopping_.Set();
    response_ready_.Cancel();
    response_taken_.Cancel();
    return;
  }
  delete this;
}

void TNotavero::DisableOnClose() {
  // Nobody will credit what the device takes from now on.  The disable is
  // no acknowledge: an event the device holds stays with it for the next
  // driver.  It goes whatever the link's last state: a device that missed a
  // few polls may be answering again, and a frame to a silent line costs
  // nothing.
  if (!IsOpen() || !device_accepting_.load()) {
    return;
  }
  try {
    const auto payload = EnablePayload(0);
    TxFrame frame{};
    const std::size_t length = BuildFrame(frame, payload.data(), payload.size());
    LogPacket(phrase::kSend.view(), frame.data(), length);
    PutBlock(frame.data(), static_cast<uint16_t>(length));  // closing lets it leave
  } catch (...) {  // NOLINT(bugprone-empty-catch): the port is going anyway
  }
}

// ---------------------------------------------------------------------------
// Host operations

void TNotavero::GetVersion(unsigned char* buffer) {
  std::memcpy(buffer, kVersion, sizeof kVersion);
}

void TNotavero::SetEnabled(bool value) {
  uint32_t current = enable_request_.load();
  uint32_t next = 0;
  do {
    next = ((current & ~(kEnableRequested | kEnableValue)) + kEnableCountUnit) | kEnableRequested |
           (value ? kEnableValue : 0);
  } while (!enable_request_.compare_exchange_weak(current, next));
}

bool TNotavero::TakeEnableRequest(bool& value, uint32_t& request) const {
  request = enable_request_.load();
  value = (request & kEnableValue) != 0;
  return (request & kEnableRequested) != 0;
}

void TNotavero::EnableRequestDone(uint32_t request) {
  // Cleared only when no newer request arrived while this one was sent.
  enable_request_.compare_exchange_strong(request, request & ~kEnableRequested);
}

std::size_t TNotavero::GetStatusText(char* buffer, std::size_t size) {
  const std::lock_guard lock(status_lock_);
  if (size > 0 && buffer != nullptr) {
    const std::size_t n = std::min(status_text_.size(), size - 1);
    std::memcpy(buffer, status_text_.data(), n);
    buffer[n] = '\0';
  }
  return status_text_.size();
}

std::string TNotavero::StatusText() const {
  const std::lock_guard lock(status_lock_);
  return status_text_;
}

BillValueTable TNotavero::BillValues() const {
  const std::lock_guard lock(status_lock_);
  return bill_values_;
}

std::vector<TUnconfirmedBill> TNotavero::UnconfirmedBills() const {
  const std::lock_guard lock(status_lock_);
  return unconfirmed_;
}

TDriverCounters TNotavero::Counters() const {
  const std::lock_guard lock(status_lock_);
  return counters_;
}

void TNotavero::RestoreEnableRequest() {
  uint32_t current = enable_request_.load();
  if ((current & kEnableRequested) != 0 || (current & kEnableValue) == 0) {
    return;  // a newer request of the host decides, or it wants acceptance off
  }
  const uint32_t next = (current + kEnableCountUnit) | kEnableRequested | kEnableValue;
  enable_request_.compare_exchange_strong(current, next);  // lost to a new request: that one decides
}

void TNotavero::AddUnconfirmed(uint8_t bill_type, CurrencyAmount amount) {
  std::string line(phrase::kUnconfirmed);
  AppendHex2(line, bill_type);
  line += phrase::kUnconfirmedAmount;
  line += std::to_string(amount / kCurrencyScale);
  LogWrite(LogLevel::kInfo, line);
  {
    const std::lock_guard lock(status_lock_);
    unconfirmed_.push_back({bill_type, amount});
    ++counters_.unconfirmed;
  }
  NotifyEvent(NV_EVENT_UNCONFIRMED, bill_type);
}

CurrencyAmount TNotavero::ValueOf(uint8_t bill_type) const {
  if (bill_type >= bill_values_.size()) {
    std::string line(phrase::kBillTypeOutOfTable);
    AppendHex2(line, bill_type);
    LogWrite(LogLevel::kInfo, line);
    return 0;
  }
  return bill_values_[bill_type];
}

void TNotavero::SetBillValues(const BillValueTable& values) {
  const std::lock_guard lock(status_lock_);
  bill_values_ = values;
}

void TNotavero::SetStatusText(std::string text) {
  const std::lock_guard lock(status_lock_);
  status_text_.swap(text);
}

// ---------------------------------------------------------------------------
// Response assembly (event thread)

void TNotavero::DataReceived(uint32_t count) {
  if (count < 1) {
    return;
  }
  rx_bytes_.fetch_add(count);
  try {
    for (uint32_t i = 0; i < count; ++i) {
      ProcessRxByte();
      if (exchange_status_.load() != xsWaiting) {
        // Hand over: the exchange takes the reply while this thread waits a
        // little, so that the rest of the batch does not disturb it.  After
        // the batch's last byte there is nothing left to wait with (a later
        // byte finds the status no longer waiting and is dropped), and the
        // wait would only cost a sleep and a wake-up per reply.
        if (const auto seam = testing_seams::before_hand_over.load(std::memory_order_acquire)) {
          seam();
        }
        response_taken_.Reset();
        response_ready_.Set();
        if (i + 1 < count) {
          clock_.WaitFor(response_taken_, timings_.hand_over_wait);
        }
      }
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch)
    // A purge of the polling thread emptied the ring after its bytes were
    // counted; the rest of the batch is gone, the assembler keeps its state.
  }
  // Once a frame has begun nothing can come of fewer bytes than its rest:
  // the port may hand them over at once, the last as soon as it arrives.
  // Otherwise every byte counts at once (a reply's sync byte, the stray
  // bytes a settling line watches for).
  const std::lock_guard lock(rx_lock_);
  AwaitBytes(exchange_status_.load() == xsWaiting && rx_.RxState != 0 ? rx_.BytesToResult() : 1);
}

void TNotavero::PortFailed() {
  response_ready_.Set();  // an exchange waiting for a reply learns at once
}

void TNotavero::ProcessRxByte() {
  const uint8_t byte = ReadByte();  // every byte is consumed, whatever the state
  const std::lock_guard lock(rx_lock_);
  if (exchange_status_.load() != xsWaiting) {
    return;
  }
  switch (rx_.Feed(byte)) {
    case TResponseAssembler::Result::kGood:
      exchange_status_.store(xsOk);
      break;
    case TResponseAssembler::Result::kBadCrc:
      exchange_status_.store(xsBadCrc);
      break;
    case TResponseAssembler::Result::kIncomplete:
      break;
  }
}

// ---------------------------------------------------------------------------
// Command exchange (polling thread)

void TNotavero::CheckStopping() const {
  if (destroying_.load() && !finishing_) {
    throw EDriverFault(TDriverFault::kStopping);
  }
  if (Lost()) {
    throw EDriverFault(TDriverFault::kPortLost);  // the polling thread reopens the port
  }
}

void TNotavero::PrepareExchange() {
  {
    const std::lock_guard lock(rx_lock_);
    rx_.Restart();
    exchange_status_.store(xsWaiting);
  }
  Purge();
  response_ready_.Reset();
  response_taken_.Set();
  const std::lock_guard lock(rx_lock_);
  rx_.RxLength = 0;
}

void TNotavero::SendFrame(const uint8_t* frame, std::size_t count) {
  PrepareExchange();
  LogPacket(phrase::kSend.view(), frame, count);
  try {
    PutBlock(frame, static_cast<uint16_t>(count));
  } catch (...) {
    exchange_status_.store(xsSendFailed);
  }
}

void TNotavero::WaitResponse(std::chrono::milliseconds timeout) {
  // A stray byte handled just as the attempt began can signal a hand-over
  // while the status is still waiting: such a wake-up does not end the wait.
  const auto deadline = clock_.Now() + timeout;
  bool signalled = false;
  for (;;) {
    signalled = clock_.Now() < deadline && clock_.WaitUntil(response_ready_, deadline);
    CheckStopping();
    if (!signalled || exchange_status_.load() != xsWaiting) {
      break;
    }
  }
  if (!signalled) {
    SuspectLine(timings_.settle_after_timeout);  // the reply may still come, late, into a later exchange
    recent_timeout_ = true;
    Count([](TDriverCounters& c) { ++c.timeouts; });
  }
  std::array<uint8_t, kMaxReply> received{};
  std::size_t length = 0;
  {
    const std::lock_guard lock(rx_lock_);
    if (!signalled) {
      exchange_status_.store(xsTimeout);
    }
    length = std::min(static_cast<std::size_t>(std::max(rx_.RxLength, 0)), kMaxReply);
    std::copy_n(rx_.RxBuffer.begin(), length, received.begin());
  }
  LogPacket(phrase::kReceive.view(), received.data(), length);
}

uint16_t TNotavero::Exchange(uint8_t* buffer, std::size_t buffer_size, std::size_t n, int32_t& expected) {
  TxFrame frame{};
  const std::size_t frame_length = BuildFrame(frame, buffer, n);
  int attempts = 0;
  do {
    // Once the driver is being destroyed no new frame goes out.
    CheckStopping();
    ++attempts;
    SendFrame(frame.data(), frame_length);
    if (expected > 0) {
      WaitResponse(timings_.response_timeout);
    } else {
      // The frame is on its way and the device acts on it, so the exchange
      // completes even when destruction cuts the pause short: after the
      // acknowledge of a stacked event the device forgets the event, and
      // the rest of the cycle must still tell the host.
      clock_.WaitFor(stopping_, timings_.no_reply_pause);
      exchange_status_.store(xsOk);
    }
  } while (exchange_status_.load() == xsTimeout && attempts < timings_.attempts);

  const uint16_t status = exchange_status_.load();
  if (expected > 0) {
    if (status == xsOk) {
      Count([this](TDriverCounters& c) { c.last_answer = clock_.Now(); });
      SetLink(NV_LINK_ONLINE);
    } else if (status == xsBadCrc) {
      Count([](TDriverCounters& c) { ++c.bad_frames; });
    }
  }
  if (status == xsOk) {
    const std::lock_guard lock(rx_lock_);
    const auto length = static_cast<std::size_t>(std::max(rx_.RxLength, 0));
    std::copy_n(rx_.RxBuffer.begin(), std::min(length, buffer_size), buffer);
    expected = static_cast<int32_t>(length);
  }
  return status;
}

void TNotavero::SuspectLine(std::chrono::milliseconds quiet) {
  line_suspect_ = true;
  settle_quiet_ = std::max(settle_quiet_, quiet);
}

void TNotavero::Settle() {
  const auto limit = clock_.Now() + timings_.settle_limit;
  for (;;) {
    const uint64_t before = rx_bytes_.load();
    PrepareExchange();  // purges; a frame that comes now is assembled and dropped
    clock_.WaitFor(stopping_, settle_quiet_);
    CheckStopping();
    if (rx_bytes_.load() == before) {
      break;
    }
    if (clock_.Now() >= limit) {
      throw EDriverFault(TDriverFault::kLineNeverQuiet, cmdPoll);
    }
  }
  line_suspect_ = false;
  settle_quiet_ = std::chrono::milliseconds{0};
}

// ---------------------------------------------------------------------------
// Device commands (polling thread)

int32_t TNotavero::Command(uint8_t* buffer, std::size_t buffer_size, std::size_t n, int32_t expected) {
  const uint8_t command = buffer[0];
  if (const uint16_t status = Exchange(buffer, buffer_size, n, expected); status != xsOk) {
    throw EDriverFault(TDriverFault::kExchange, command, status);
  }
  return expected;
}

void TNotavero::SendSimple(uint8_t command) {
  std::array<uint8_t, kCommandBufferSize> buffer{command};
  Command(buffer.data(), buffer.size(), 1, 0);
}

std::optional<uint16_t> TNotavero::Poll(bool hold_events) {
  // The device repeats an event until it is acknowledged, so a reply that
  // may be stale costs only a poll: acting on it, or acknowledging it, could
  // make the device drop an event the driver never read.
  for (int round = 1;; ++round) {
    if (line_suspect_) {
      Settle();
    }
    std::array<uint8_t, kCommandBufferSize> buffer{cmdPoll};
    const int32_t length = Command(buffer.data(), buffer.size(), 1, 8);
    if (std::exchange(first_reply_, false)) {
      // The first reply on a newly opened port may answer the frame of the
      // driver that had the port before: it is only a sign of life.
      SuspectLine(timings_.settle_after_late_reply);
      continue;
    }
    if (line_suspect_) {
      LogWrite(LogLevel::kInfo, phrase::kStaleReply.str());
      if (round >= timings_.attempts) {
        throw EDriverFault(TDriverFault::kStaleReplies, cmdPoll);
      }
      continue;
    }
    if (length != 6 && length != 7) {
      Count([](TDriverCounters& c) { ++c.bad_frames; });
      if (recent_timeout_) {
        // A reply of another command's length after a time-out is the late
        // answer to the command that timed out (a status or table reply),
        // which pushed the poll's own reply out unread: no status.
        SuspectLine(timings_.settle_after_late_reply);
        return std::nullopt;
      }
      return kUnexpectedReply;
    }
    // A 6-byte frame carrying 0x00 (acknowledge) or 0xFF (refusal) is the
    // device's late answer to an earlier command that awaited no reply,
    // which pushed the poll's own reply out unread; that reply may still be
    // on its way.  It is no status and it is not acknowledged.
    if (length == 6 && (buffer[3] == kDeviceAck || buffer[3] == kDeviceRefusal)) {
      SuspectLine(timings_.settle_after_late_reply);
      return std::nullopt;
    }
    recent_timeout_ = false;
    const uint16_t status = MakeStatus(buffer[3], length == 7 ? buffer[4] : 0);
    const uint8_t state = DeviceStateOf(status);
    if (state == dsAccepting || state == dsEscrow || state == dsStacked || state == dsReturned) {
      unsettled_.store(true);  // a destruction from now on lets the cycle settle it
    }
    if (!(hold_events && (state == dsStacked || state == dsReturned))) {
      // The reply is in hand: its acknowledge goes even while the driver is
      // being destroyed, and the cycle tells the host what it reported.
      const TFinishing finishing(*this);
      Ack();
    }
    return status;
  }
}

void TNotavero::Ack() {
  SendSimple(cmdAck);
}

void TNotavero::Reset() {
  std::array<uint8_t, kCommandBufferSize> buffer{cmdReset};
  Command(buffer.data(), buffer.size(), 1, 6);
}

void TNotavero::GetStatus() {
  constexpr auto kLength = static_cast<int32_t>(kStatusFrameLength);
  std::array<uint8_t, kCommandBufferSize> buffer{cmdGetStatus};
  if (Command(buffer.data(), buffer.size(), 1, kLength) == kLength) {
    Ack();
  }
}

bool TNotavero::GetBillTable(BillValueTable& values) {
  constexpr auto kLength = static_cast<int32_t>(kBillTableFrameLength);
  values.fill(0);
  std::array<uint8_t, kBillTableBufferSize> buffer{cmdGetBillTable};
  if (Command(buffer.data(), buffer.size(), 1, kLength) != kLength) {
    // Another frame answered (a late reply to an earlier command): the
    // table's own reply may still be on its way.
    SuspectLine(timings_.settle_after_late_reply);
    Count([](TDriverCounters& c) { ++c.bad_frames; });
    return false;
  }
  Ack();
  values = TableValues(DecodeBillTable(buffer.data()));
  return true;
}

void TNotavero::SetSecurity() {
  std::array<uint8_t, kCommandBufferSize> buffer{cmdSetSecurity};
  std::copy(kSecurityParameters.begin(), kSecurityParameters.end(), buffer.begin() + 1);
  Command(buffer.data(), buffer.size(), 1 + kSecurityParameters.size(), 0);
}

uint32_t TNotavero::EnableBillTypes(bool enable) {
  const uint32_t mask = enable ? EnableMask(bill_values_) : 0;
  std::array<uint8_t, kCommandBufferSize> buffer{};
  const auto payload = EnablePayload(mask);
  std::copy(payload.begin(), payload.end(), buffer.begin());
  Command(buffer.data(), buffer.size(), payload.size(), 0);
  device_accepting_.store(mask != 0);
  return mask;
}

void TNotavero::Stack() {
  SendSimple(cmdStack);
}

void TNotavero::ReturnBill() {
  SendSimple(cmdReturn);
}

void TNotavero::NotifyEvent(int32_t kind, int32_t code) {
  if (sink_.event_callback != nullptr && !HostGone()) {
    sink_.event_callback(kind, code, sink_.user);
  }
}

void TNotavero::SetLink(int32_t link) {
  if (link_.exchange(link) != link) {
    NotifyEvent(NV_EVENT_LINK, link);
  }
}

void TNotavero::PublishState(uint16_t status) {
  const int32_t before = state_.exchange(status);
  if (before == status && !std::exchange(state_after_reopen_, false)) {
    return;  // a state the device repeats poll after poll is one state
  }
  const auto power_up = [](uint8_t state) { return state >= dsPowerUp && state <= dsPowerUpBillNoReturn; };
  const uint8_t state = DeviceStateOf(status);
  const bool entered_power_up =
      power_up(state) && !(before >= 0 && power_up(DeviceStateOf(static_cast<uint16_t>(before))));
  Count([&](TDriverCounters& c) {
    c.rejected += state == dsBillError ? 1 : 0;
    c.power_ups += entered_power_up ? 1 : 0;
  });
  NotifyEvent(NV_EVENT_STATE, status);
  if (state == dsBillError) {
    NotifyEvent(NV_EVENT_REJECTED, SubCodeOf(status));
  }
}

int TNotavero::CallCHost(TBillEvent kind, CurrencyAmount amount, uint8_t bill_type) {
  if (sink_.bill_ex_callback != nullptr) {
    const nv_bill bill{static_cast<uint32_t>(sizeof(nv_bill)), kind, amount, bill_type};
    return sink_.bill_ex_callback(&bill, sink_.user);
  }
  return sink_.c_callback(kind, amount, sink_.user);
}

bool TNotavero::NotifyOutcome(TBillEvent kind, CurrencyAmount amount, uint8_t bill_type) {
  if (HostGone()) {
    return false;  // OnOutcome leaves the report to the device first
  }
  if (HasCHost()) {
    const int result = CallCHost(kind, amount, bill_type);
    return !(AckAfterCallback() && result == NV_OUTCOME_RETRY);
  }
  if (sink_.callback != nullptr) {
    sink_.callback(kind, amount);
  }
  return true;
}

bool TNotavero::NotifyBill(TBillEvent kind, CurrencyAmount amount, uint8_t bill_type) {
  if (HostGone()) {
    return false;
  }
  if (HasCHost()) {
    return CallCHost(kind, amount, bill_type) != 0;
  }
  if (sink_.callback != nullptr) {
    return sink_.callback(kind, amount);
  }
  return false;  // nobody to credit it: an escrowed bill goes back
}

// ---------------------------------------------------------------------------
// Polling thread

TNotaveroThread::TNotaveroThread(TNotavero& driver) : driver_(driver), thread_([this] { Execute(); }) {}

TNotaveroThread::~TNotaveroThread() {
  Terminate();
  WaitFor();
}

void TNotaveroThread::WaitFor() {
  if (!thread_.joinable()) {
    return;
  }
  if (IsCurrentThread()) {
    thread_.detach();  // the driver is being released by its own thread
  } else {
    thread_.join();
  }
}

void TNotaveroThread::Execute() {
  driver_.clock_.Attach();
  TCycleState state;
  state.handed_over = OutcomeHandOver::Take(driver_.Status().identity);
  while (GuardedCycle(state) && !Terminated()) {
    if (driver_.winding_down_.load() && !Unsettled(state)) {
      // Nothing left that the device could still turn into money or report
      // again: the destructor may stop the exchanges now.  No further cycle
      // starts.
      driver_.wound_down_.Set();
      driver_.clock_.WaitUntil(driver_.stopping_, Clock::kNever);
    }
  }
  AccountOnExit(state);
  driver_.clock_.Detach();
  if (driver_.released_by_poller_.load()) {
    delete &driver_;  // destroys this object too: nothing of it is touched after
  }
}

bool TNotaveroThread::GuardedCycle(TCycleState& state) {
  const auto started = driver_.clock_.Now();
  try {
    if (driver_.Lost()) {
      Recover(state);
      return true;
    }
    RunCycle(state);
    for (const std::string& held : errors_.Flush()) {
      LogWrite(LogLevel::kInfo, held);
    }
    return true;
  } catch (const EDriverFault& fault) {
    if (fault.Fault() == TDriverFault::kStopping) {
      return false;
    }
    if (fault.Fault() == TDriverFault::kPortLost || driver_.Lost()) {
      return true;  // reopened at the top of the next round, and said once, by Recover
    }
    driver_.SetLink(NV_LINK_NO_ANSWER);  // time-outs or bad frames, not a port error
    LogError(std::string(phrase::kThreadError) + fault.what() + fault.Detail(), started);
  } catch (const std::exception& error) {
    if (driver_.Lost()) {
      return true;  // the port went away during the cycle: said once, by Recover
    }
    LogError(std::string(phrase::kThreadError) + error.what(), started);
  } catch (...) {
    LogError(std::string(phrase::kThreadError), started);
  }
  driver_.Count([](TDriverCounters& c) { ++c.failed_cycles; });
  const auto pace = driver_.timings_.failed_cycle_pace;
  if (driver_.clock_.Now() - started < pace) {
    driver_.clock_.WaitUntil(driver_.stopping_, started + pace);
  }
  return true;
}

bool TNotaveroThread::InHand(const TCycleState& state) {
  return (state.bill && state.bill->stacking && state.bill->sent) ||
         (state.held && state.held->device_state == dsStacked);
}

bool TNotaveroThread::Unsettled(const TCycleState& state) {
  // What InHand counts is a bill in play or a held report, so it is here too.
  return state.bill || state.held || state.reported || state.last_state == dsEscrow ||
         state.last_state == dsAccepting;
}

void TNotaveroThread::PublishInHand(const TCycleState& state) {
  driver_.bill_in_hand_.store(InHand(state));
  driver_.unsettled_.store(Unsettled(state));
}

void TNotaveroThread::AccountOnExit(TCycleState& state) {
  // A stacked report in hand, or a bill sent to the stacker without its
  // outcome: the device may keep it for the next driver, or lose it in a
  // power cut; this driver cannot know which, and says so.  A held report
  // that repeats the outcome handed over to this driver was reported
  // already.  A host that released the driver from its callback hears
  // nothing more: a report the device still holds is left to it, for the
  // next driver to offer.
  const bool repeat_held = state.held && state.handed_over && *state.held == *state.handed_over;
  if (state.held && !repeat_held && driver_.HostGone()) {
    std::string line(phrase::kLeftWithDevice);
    AppendOutcome(line, *state.held);
    LogWrite(LogLevel::kInfo, line);
  } else if (state.held && state.held->device_state == dsStacked && !repeat_held) {
    driver_.AddUnconfirmed(state.held->bill_type,
                           state.table_read ? driver_.ValueOf(state.held->bill_type) : 0);
  } else if (state.bill && state.bill->stacking && state.bill->sent) {
    driver_.AddUnconfirmed(state.bill->bill_type, state.bill->amount);
  }
  // What the device may still repeat: this driver's last outcome, or the
  // one it was handed and never saw settled (a driver freed before its
  // first real poll must not lose it for the next one).
  if (const auto& leave = state.reported ? state.reported : state.handed_over) {
    OutcomeHandOver::Leave(driver_.Status().identity, *leave);
  }
  driver_.bill_in_hand_.store(false);
  driver_.unsettled_.store(false);
}

void TNotaveroThread::Recover(TCycleState& state) {
  const std::string name = driver_.Status().port_name;
  driver_.SetLink(NV_LINK_PORT_LOST);
  LogWrite(LogLevel::kInfo, std::string(phrase::kPortLost) + name);
  driver_.ClosePort();
  for (;;) {
    if (driver_.clock_.WaitFor(driver_.stopping_, driver_.timings_.reopen_interval)) {
      throw EDriverFault(TDriverFault::kStopping);
    }
    try {
      driver_.ReopenPort();
      break;
    } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): still gone; tried again in a second
    }
  }
  LogWrite(LogLevel::kInfo, std::string(phrase::kPortBack) + name);
  driver_.Count([](TDriverCounters& c) { ++c.reconnects; });
  // A reply of the old line is not trusted.  The table is read again before
  // any bill is valued: the same name may now lead to another device (USB
  // adapters renumbered), whose bill types have values of their own.  The
  // host's acceptance goes on again after the table.  A bill in play keeps
  // its place: the device repeats its outcome until it is acknowledged, and
  // one still in escrow gets the host's decision again (if the table gives
  // it the same value).
  driver_.line_suspect_ = true;
  driver_.first_reply_ = true;
  driver_.state_after_reopen_ = true;  // the host hears the state again, changed or not
  state.accepting = false;
  state.need_init = true;
  state.reapply_enable = true;
  if (state.bill) {
    state.bill->resend = true;
  }
}

void TNotaveroThread::LogError(const std::string& line, Clock::TimePoint started) {
  // An error that comes back at once every cycle (a port that is not open)
  // is written once a minute with its count; one that took the device's
  // time-outs is written every time.
  const auto now = driver_.clock_.Now();
  if (now - started >= driver_.timings_.slow_failure) {
    for (const std::string& held : errors_.Flush()) {
      LogWrite(LogLevel::kInfo, held);
    }
    LogWrite(LogLevel::kInfo, line);
    return;
  }
  for (const std::string& out : errors_.Filter(line, now)) {
    LogWrite(LogLevel::kInfo, out);
  }
}

void TNotaveroThread::RunCycle(TCycleState& state) {
  // A stacked or returned report is left unacknowledged while the table is
  // unknown (its value is needed first) and, for a host that records
  // outcomes, until the host has recorded it.
  const bool hold_outcomes = state.need_init || driver_.AckAfterCallback();
  const std::optional<uint16_t> polled = driver_.Poll(hold_outcomes);
  if (!polled) {
    return;  // the reply carried no status: nothing to publish or act on
  }
  const uint16_t status = *polled;
  const uint8_t device_state = DeviceStateOf(status);
  const uint8_t sub_code = SubCodeOf(status);

  std::string text = StateToText(status);
  std::string line(phrase::kStateLine);
  AppendHex2(line, device_state);
  line += '-';
  AppendHex2(line, sub_code);
  line += ". ";
  line += text;
  driver_.SetStatusText(std::move(text));
  LogWrite(LogLevel::kInfo, line);
  // The host's state event comes with the new text already in place.
  driver_.PublishState(status);

  // What the device shows now settles the reports of earlier polls.
  state.last_state = device_state;
  const bool outcome = device_state == dsStacked || device_state == dsReturned;
  const TOutcomeSeen seen{device_state, sub_code};
  if (state.held && !(outcome && seen == *state.held)) {
    HeldVanished(state);
  }
  if (state.reported && !(outcome && seen == *state.reported)) {
    state.reported.reset();  // the device took the acknowledge
  }
  if (state.handed_over && !(outcome && seen == *state.handed_over)) {
    state.handed_over.reset();
  }

  bool requested_value = false;
  uint32_t request = 0;
  const bool request_pending = driver_.TakeEnableRequest(requested_value, request);
  switch (device_state) {
    case dsPowerUp:
    case dsPowerUpWithBill:
    case dsPowerUpBillNoReturn:
      BillVanished(state);
      driver_.device_accepting_.store(false);
      state.accepting = false;
      driver_.Reset();
      state.need_init = true;
      break;
    case dsInitializing:
      BillVanished(state);
      driver_.Initialize();
      break;
    case dsDisabled:
      BillVanished(state);
      driver_.device_accepting_.store(false);
      state.accepting = false;
      if (state.need_init) {
        LoadTable(state);
      }
      break;
    case dsWaitingForBill:
    case dsAccepting:
      BillVanished(state);
      driver_.device_accepting_.store(true);
      // Acceptance is on only when this driver's host asked for it, and only
      // once the table is known: the table is read in the disabled state, so
      // a device found accepting goes there first, whatever the host wants
      // (a standing request then turns acceptance on again).  A device
      // found accepting on a reopened port kept its power and acceptance:
      // its table is read where it stands (it may be another device), and the
      // host's acceptance goes on again with that table's masks, rather than
      // off under a customer's hand.
      if (device_state == dsWaitingForBill && state.need_init && state.reapply_enable) {
        LoadTable(state);
      } else if (device_state == dsWaitingForBill && !state.accepting &&
                 (!request_pending || state.need_init)) {
        LogWrite(LogLevel::kInfo,
                 request_pending ? phrase::kDisableForTable.str() : phrase::kUnaskedAcceptance.str());
        driver_.EnableBillTypes(false);
      }
      break;
    case dsEscrow:
      OnEscrow(state, sub_code);
      break;
    case dsStacked:
    case dsReturned:
      OnOutcome(state, device_state, sub_code, hold_outcomes);
      break;
    case dsBillError:
      state.bill.reset();  // the device rejected it: its outcome is known
      break;
    default:
      break;
  }
  PublishInHand(state);
  ApplyEnableRequest(state);
}

void TNotaveroThread::ApplyEnableRequest(TCycleState& state) {
  bool enable = false;
  uint32_t request = 0;
  if (!driver_.TakeEnableRequest(enable, request)) {
    return;
  }
  if (enable && state.need_init) {
    // The masks come from the table.  After a reset the old table would
    // enable the bill types before the device is read again (and it would
    // skip the disabled state where the table is read), so the request
    // waits for the table; so does a C host's first request.
    if (state.table_read || driver_.sink_.standing_enable) {
      return;
    }
    LogWrite(LogLevel::kInfo,
             phrase::kEnableBeforeTable.str());  // no table yet: the request is used up on all-zero masks
  }
  state.accepting = driver_.EnableBillTypes(enable) != 0;
  driver_.EnableRequestDone(request);
}

void TNotaveroThread::LoadTable(TCycleState& state) {
  driver_.GetStatus();
  BillValueTable values{};
  if (!driver_.GetBillTable(values)) {
    // Without its table the driver could credit nothing: it is read again
    // the next time the device reports that it is disabled.
    LogWrite(LogLevel::kInfo, phrase::kNoBillTable.str());
    return;
  }
  driver_.SetBillValues(values);
  driver_.SetSecurity();
  state.need_init = false;
  state.table_read = true;
  // A C host's request holds until withdrawn: after every reset it goes
  // again; a GetDriver host's goes again only after a reopened port.
  if (std::exchange(state.reapply_enable, false) || driver_.sink_.standing_enable) {
    driver_.RestoreEnableRequest();
  }
}

void TNotaveroThread::BillVanished(TCycleState& state) {
  // A bill sent to the stacker that left without a stacked, returned or
  // rejected event: whether it went in is not known, so it is said.
  if (state.bill && state.bill->stacking && state.bill->sent) {
    driver_.AddUnconfirmed(state.bill->bill_type, state.bill->amount);
  }
  state.bill.reset();
}

void TNotaveroThread::HeldVanished(TCycleState& state) {
  // The device showed a report that the driver kept for later, and has
  // dropped it unacknowledged (a power cut): a stacked bill is money that
  // nobody was told of.
  const TOutcomeSeen held = *state.held;
  state.held.reset();
  if (state.handed_over && *state.handed_over == held) {
    // The repeat of an outcome the driver before this one reported: the
    // device took its acknowledge after all.
    state.bill.reset();
    return;
  }
  if (held.device_state == dsStacked) {
    driver_.AddUnconfirmed(held.bill_type, state.table_read ? driver_.ValueOf(held.bill_type) : 0);
  } else {
    std::string line(phrase::kReturnNotConfirmed);
    AppendHex2(line, held.bill_type);
    LogWrite(LogLevel::kInfo, line);
  }
  state.bill.reset();  // its outcome is accounted for
}

void TNotaveroThread::OnEscrow(TCycleState& state, uint8_t bill_type) {
  state.first_bill_event = false;
  if (state.need_init && state.table_read) {
    // The port was reopened with a bill in escrow: the device behind it may
    // be another one, and the bill is valued by its own table.
    LoadTable(state);
  }
  const CurrencyAmount amount = state.need_init ? 0 : driver_.ValueOf(bill_type);
  if (state.bill && state.bill->host_offered && state.bill->resend && state.bill->bill_type == bill_type &&
      state.bill->amount == amount) {
    // The host decided on this bill before the line was lost, and the
    // device still holds it: the decision is carried out, not asked again.
    std::string line(phrase::kDecisionAgain);
    AppendHex2(line, bill_type);
    LogWrite(LogLevel::kInfo, line);
    TBillInPlay& bill = *state.bill;
    bill.resend = false;
    bill.sent = false;
    driver_.bill_in_hand_.store(bill.stacking);
    bill.stacking ? driver_.Stack() : driver_.ReturnBill();
    bill.sent = true;
    PublishInHand(state);
    return;
  }
  if (amount == 0 || driver_.winding_down_.load()) {
    // Nobody could credit it: it goes back without asking the host.
    std::string line(amount == 0 ? phrase::kUnknownEscrow.str() : phrase::kWindingDownEscrow.str());
    AppendHex2(line, bill_type);
    LogWrite(LogLevel::kInfo, line);
    state.bill = TBillInPlay{bill_type, amount, false, false};
    driver_.ReturnBill();
    state.bill->sent = true;
    return;
  }
  const bool stack = driver_.NotifyBill(beEscrow, amount, bill_type);
  state.bill = TBillInPlay{bill_type, amount, stack, true};
  driver_.bill_in_hand_.store(stack);  // before the frame: a destruction from now on follows the bill
  stack ? driver_.Stack() : driver_.ReturnBill();
  state.bill->sent = true;
  PublishInHand(state);
}

void TNotaveroThread::OutcomeAfterRelease(TCycleState& state, const TOutcomeSeen& seen, bool unacknowledged,
                                          bool repeat) {
  if (repeat) {
    // Reported already; the device's repeat goes to the next driver with
    // this one's last report.
    std::string line(phrase::kRepeatedEvent);
    AppendOutcome(line, seen);
    LogWrite(LogLevel::kInfo, line);
  } else if (unacknowledged) {
    // The device keeps it: the next driver on this device offers it.
    std::string line(phrase::kLeftWithDevice);
    AppendOutcome(line, seen);
    LogWrite(LogLevel::kInfo, line);
  } else if (seen.device_state == dsStacked) {
    // Acknowledged by the poll already: only the log can still say it.
    driver_.AddUnconfirmed(seen.bill_type, driver_.ValueOf(seen.bill_type));
  }
  state.held.reset();
  state.bill.reset();
}

void TNotaveroThread::OnOutcome(TCycleState& state, uint8_t device_state, uint8_t bill_type,
                                bool unacknowledged) {
  const TOutcomeSeen seen{device_state, bill_type};
  if (state.need_init) {
    // Not acknowledged: the device reports it again once the table gives
    // its value.  Until then it is held, and accounted for if it vanishes.
    state.held = seen;
    PublishInHand(state);
    LoadTable(state);
    return;
  }
  // The report is in hand: it is finished even while the driver is being
  // destroyed.
  const TNotavero::TFinishing finishing(driver_);
  // An outcome follows a bill this driver decided on, or, for a new driver,
  // is the first bill event it sees; any other is a repeat of one already
  // reported (its acknowledge was lost or came too late), and so is a first
  // event that repeats what the driver before this one on the port reported.
  const bool handed_over = state.handed_over && *state.handed_over == seen;
  state.handed_over.reset();
  const bool decided = state.bill.has_value();
  const bool expected = decided || (state.first_bill_event && !handed_over);
  if (driver_.HostGone()) {
    OutcomeAfterRelease(state, seen, unacknowledged, !expected);
    return;
  }
  if (!expected) {
    std::string line(phrase::kRepeatedEvent);
    AppendOutcome(line, seen);
    LogWrite(LogLevel::kInfo, line);
    state.first_bill_event = false;
    state.held.reset();
    if (unacknowledged) {
      driver_.Ack();
    }
    // This acknowledge may be lost as the first was: until a poll shows the
    // device took it, the outcome stays this driver's to hand over.
    state.reported = seen;
    return;
  }
  // The host decided neither a first event nor a bill the driver returned
  // by itself: a host with a journal checks such an outcome against it.
  const bool foreign = !decided || !state.bill->host_offered;
  const CurrencyAmount amount = driver_.ValueOf(bill_type);
  bool recorded = true;
  if (device_state == dsStacked) {
    if (amount == 0) {
      std::string line(phrase::kUnknownStacked);
      AppendHex2(line, bill_type);
      LogWrite(LogLevel::kInfo, line);
      driver_.AddUnconfirmed(bill_type, 0);
    } else {
      if (foreign) {
        driver_.NotifyEvent(NV_EVENT_FOREIGN_OUTCOME, NV_BILL_STACKED);
      }
      // Counted before the host hears of it (a host may read the counters in
      // its callback), and taken back when the host could not record it.
      const auto count = [&](int sign) {
        driver_.Count([&](TDriverCounters& c) {
          c.stacked[bill_type] += sign;  // a known value: the type is inside the table
          c.stacked_amount += sign * amount;
        });
      };
      count(1);
      recorded = driver_.NotifyOutcome(beStacked, amount, bill_type);
      if (!recorded) {
        count(-1);
      }
    }
  } else {
    // Returned: the host hears of bills it was offered, of a first one of
    // known value (for a new driver), and, when it takes events, of one the
    // driver sent back by itself before it knew the table (a bill of the
    // run before, which a journal closes with it).
    const bool tell = amount != 0 && (foreign ? (!decided || driver_.sink_.event_callback != nullptr)
                                              : state.bill->host_offered);
    driver_.Count([](TDriverCounters& c) { ++c.returned; });
    if (tell) {
      if (foreign) {
        driver_.NotifyEvent(NV_EVENT_FOREIGN_OUTCOME, NV_BILL_RETURNED);
      }
      recorded = driver_.NotifyOutcome(beReturned, amount, bill_type);
      if (!recorded) {
        driver_.Count([](TDriverCounters& c) { --c.returned; });
      }
    }
  }
  if (!recorded) {
    // The host could not record it: the device keeps the report, and the
    // next poll offers it again.  Said once for the report, however long
    // the host takes.
    if (state.held != seen) {
      std::string line(phrase::kOutcomeNotRecorded);
      AppendOutcome(line, seen);
      LogWrite(LogLevel::kInfo, line);
    }
    state.held = seen;
    PublishInHand(state);
    // No acknowledge went out, and with it the pause that paces the polls:
    // the report is offered again at the device's usual pace, not flat out.
    driver_.clock_.WaitFor(driver_.stopping_, driver_.timings_.no_reply_pause);
    return;
  }
  state.bill.reset();
  state.first_bill_event = false;
  state.held.reset();
  if (unacknowledged) {
    driver_.Ack();
  }
  state.reported = seen;
}

}  // namespace notavero
