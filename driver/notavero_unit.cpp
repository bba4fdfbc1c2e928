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
      host_(MakeBillHost(sink)),
      standing_enable_(sink.standing_enable),
      hand_over_(sink.hand_over != nullptr ? *sink.hand_over : THandOver::Process()),
      timings_(timings),
      clock_(clock) {
  Start();
}

TNotavero::TNotavero(std::string_view device_path, TBillSink sink, std::unique_ptr<SerialDevice> device,
                     const TTimings& timings, Clock& clock)
    : TComPort(device_path, device ? std::move(device) : MakePlatformDevice(std::string(device_path))),
      settle_quiet_(timings.settle_after_late_reply),
      host_(MakeBillHost(sink)),
      standing_enable_(sink.standing_enable),
      hand_over_(sink.hand_over != nullptr ? *sink.hand_over : THandOver::Process()),
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
    cycle_.WindDown();
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
    if ((link == NV_LINK_ONLINE && cycle_.Unsettled()) || (cycle_.InHand() && link != NV_LINK_PORT_LOST)) {
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
  if (!IsOpen() || !cycle_.DeviceMayAccept()) {
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

bool TNotavero::TakeEnableRequest(bool& value, uint32_t& request) {
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

void TNotavero::Unconfirmed(uint8_t bill_type, CurrencyAmount amount) {
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
  Notify(NV_EVENT_UNCONFIRMED, bill_type);
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
    cycle_.Seen(state);
    if (!(hold_events && (state == dsStacked || state == dsReturned))) {
      // The reply is in hand: its acknowledge goes even while the driver is
      // being destroyed, and the cycle tells the host what it reported.
      const TCycleDevice::TFinishing finishing(*this);
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
  return mask;
}

void TNotavero::Stack() {
  SendSimple(cmdStack);
}

void TNotavero::ReturnBill() {
  SendSimple(cmdReturn);
}

void TNotavero::Notify(int32_t kind, int32_t code) {
  if (!Gone()) {
    host_->Notify(kind, code);
  }
}

void TNotavero::SetLink(int32_t link) {
  if (link_.exchange(link) != link) {
    Notify(NV_EVENT_LINK, link);
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
  Notify(NV_EVENT_STATE, status);
  if (state == dsBillError) {
    Notify(NV_EVENT_REJECTED, SubCodeOf(status));
  }
}

bool TNotavero::Escrow(CurrencyAmount amount, uint8_t bill_type) {
  return !Gone() && host_->Escrow(amount, bill_type);
}

bool TNotavero::Outcome(TBillEvent kind, CurrencyAmount amount, uint8_t bill_type) {
  return !Gone() && host_->Outcome(kind, amount, bill_type);
}

void TNotavero::CountBill(TBillEvent kind, uint8_t bill_type, CurrencyAmount amount, int sign) {
  Count([&](TDriverCounters& c) {
    if (kind == beStacked) {
      c.stacked[bill_type] += sign;  // a known value: the type is inside the table
      c.stacked_amount += sign * amount;
    } else {
      c.returned += sign;
    }
  });
}

bool TNotavero::LoadTable() {
  GetStatus();
  BillValueTable values{};
  if (!GetBillTable(values)) {
    return false;
  }
  SetBillValues(values);
  SetSecurity();
  return true;
}

void TNotavero::Pause() {
  clock_.WaitFor(stopping_, timings_.no_reply_pause);
}

void TNotavero::ShowState(uint16_t status) {
  std::string text = StateToText(status);
  std::string line(phrase::kStateLine);
  AppendHex2(line, DeviceStateOf(status));
  line += '-';
  AppendHex2(line, SubCodeOf(status));
  line += ". ";
  line += text;
  SetStatusText(std::move(text));
  LogWrite(LogLevel::kInfo, line);
  // The host's state event comes with the new text already in place.
  PublishState(status);
}

void TNotavero::CountFailedCycle() {
  Count([](TDriverCounters& c) { ++c.failed_cycles; });
}

void TNotavero::ReopenPort() {
  Reopen();
  // A reply of the old line is not trusted, and the host hears the state
  // again, changed or not.
  line_suspect_ = true;
  first_reply_ = true;
  state_after_reopen_ = true;
  Count([](TDriverCounters& c) { ++c.reconnects; });
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
  Clock& clock = driver_.GetClock();
  TBillCycle& cycle = driver_.Cycle();
  const std::string device = driver_.Status().identity;
  clock.Attach();
  cycle.Begin(driver_.HandOver().Take(device));
  while (GuardedCycle() && !Terminated()) {
    if (cycle.WindingDown() && !cycle.Unsettled()) {
      // Nothing left that the device could still turn into money or report
      // again: the destructor may stop the exchanges now.  No further cycle
      // starts.
      driver_.WoundDown();
      clock.WaitUntil(driver_.Stopping(), Clock::kNever);
    }
  }
  if (const auto left = cycle.End()) {
    driver_.HandOver().Leave(device, *left);
  }
  clock.Detach();
  if (driver_.ReleasedByHost()) {
    delete &driver_;  // destroys this object too: nothing of it is touched after
  }
}

bool TNotaveroThread::GuardedCycle() {
  Clock& clock = driver_.GetClock();
  const auto started = clock.Now();
  try {
    if (driver_.Lost()) {
      Recover();
      return true;
    }
    RunCycle();
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
  driver_.CountFailedCycle();
  const auto pace = driver_.Timings().failed_cycle_pace;
  if (clock.Now() - started < pace) {
    clock.WaitUntil(driver_.Stopping(), started + pace);
  }
  return true;
}

void TNotaveroThread::Recover() {
  const std::string name = driver_.Status().port_name;
  driver_.SetLink(NV_LINK_PORT_LOST);
  LogWrite(LogLevel::kInfo, std::string(phrase::kPortLost) + name);
  driver_.ClosePort();
  for (;;) {
    if (driver_.GetClock().WaitFor(driver_.Stopping(), driver_.Timings().reopen_interval)) {
      throw EDriverFault(TDriverFault::kStopping);
    }
    try {
      driver_.ReopenPort();
      break;
    } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): still gone; tried again in a second
    }
  }
  LogWrite(LogLevel::kInfo, std::string(phrase::kPortBack) + name);
  // The same name may now lead to another device (USB adapters renumbered),
  // whose bill types have values of their own.
  driver_.Cycle().PortReopened();
}

void TNotaveroThread::LogError(const std::string& line, Clock::TimePoint started) {
  // An error that comes back at once every cycle (a port that is not open)
  // is written once a minute with its count; one that took the device's
  // time-outs is written every time.
  const auto now = driver_.GetClock().Now();
  if (now - started >= driver_.Timings().slow_failure) {
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

void TNotaveroThread::RunCycle() {
  TBillCycle& cycle = driver_.Cycle();
  const std::optional<uint16_t> polled = driver_.Poll(cycle.HoldsOutcomes());
  if (!polled) {
    return;  // the reply carried no status: nothing to publish or act on
  }
  driver_.ShowState(*polled);
  cycle.OnStatus(*polled);
}

}  // namespace notavero
