#include "driver/notavero_unit.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/cp1251.h"
#include "common/hex.h"
#include "driver/platform.h"
#include "driver/state_text.h"
#include "log/logger.h"
#include "protocol/codes.h"
#include "protocol/frame.h"

namespace notavero {

namespace {

constexpr auto kCashDeviceError = Cp1251(u8"Ошибка кассы: ");
constexpr auto kStateLine = Cp1251(u8"Состояние: ");
constexpr auto kThreadError = Cp1251(u8"Ошибка в потоке: ");
constexpr auto kBillTypeOutOfTable = Cp1251(u8"Номер купюры вне таблицы: ");
constexpr uint8_t kVersion[] = {13, 'v', '1', '.', '0', '#', 'N', 'o', 't', 'a', 'v', 'e', 'r', 'o'};
static_assert(sizeof kVersion == 14);

// A failed cycle that took less than this is followed by a pause up to it,
// so that a driver without a device does not spin a core or flood the log.
constexpr std::chrono::milliseconds kFailedCyclePace{100};

// Data bytes of the device's own acknowledge and refusal frames.
constexpr uint8_t kDeviceAck = 0x00;
constexpr uint8_t kDeviceRefusal = 0xFF;

// Longest reply the exchange logs or copies: a frame is at most 255 bytes.
constexpr std::size_t kMaxReply = kMaxFrameLength;

}  // namespace

ECashDevice::ECashDevice() : std::runtime_error(kCashDeviceError.str()) {}

// ---------------------------------------------------------------------------
// Construction and destruction

TNotavero::TNotavero(uint8_t port, TBillSink sink, std::unique_ptr<SerialDevice> device)
    : TComPort(port, device ? std::move(device) : MakePlatformDevice()), BillCallback(sink) {
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
  Poller = std::make_unique<TNotaveroThread>(*this);
}

TNotavero::~TNotavero() {
  // The polling thread goes first, while everything it uses still exists:
  // every wait it may be in ends at once, then it is joined.  A host
  // callback that is running is waited for.
  Destroying.store(true);
  if (Poller) {
    Poller->Terminate();
  }
  Stopping.Set();
  ResponseReady.Cancel();
  ResponseTaken.Cancel();  // releases an event thread in its hand-over wait
  Poller.reset();
  Close();
}

// ---------------------------------------------------------------------------
// Host operations

void TNotavero::GetVersion(unsigned char* buffer) {
  std::memcpy(buffer, kVersion, sizeof kVersion);
}

void TNotavero::SetEnabled(bool value) {
  uint32_t current = EnableRequest.load();
  uint32_t next = 0;
  do {
    next = ((current & ~(kEnableRequested | kEnableValue)) + kEnableCountUnit) | kEnableRequested |
           (value ? kEnableValue : 0);
  } while (!EnableRequest.compare_exchange_weak(current, next));
}

bool TNotavero::TakeEnableRequest(bool& value, uint32_t& request) const {
  request = EnableRequest.load();
  value = (request & kEnableValue) != 0;
  return (request & kEnableRequested) != 0;
}

void TNotavero::EnableRequestDone(uint32_t request) {
  // Cleared only when no newer request arrived while this one was sent.
  EnableRequest.compare_exchange_strong(request, request & ~kEnableRequested);
}

std::size_t TNotavero::GetStatusText(char* buffer, std::size_t size) {
  const std::lock_guard lock(StatusLock);
  if (size > 0 && buffer != nullptr) {
    const std::size_t n = std::min(StatusText_.size(), size - 1);
    std::memcpy(buffer, StatusText_.data(), n);
    buffer[n] = '\0';
  }
  return StatusText_.size();
}

std::string TNotavero::StatusText() const {
  const std::lock_guard lock(StatusLock);
  return StatusText_;
}

BillValueTable TNotavero::BillValues() const {
  const std::lock_guard lock(StatusLock);
  return BillValues_;
}

std::vector<TUnconfirmedBill> TNotavero::UnconfirmedBills() const {
  const std::lock_guard lock(StatusLock);
  return Unconfirmed_;
}

void TNotavero::SetBillValues(const BillValueTable& values) {
  const std::lock_guard lock(StatusLock);
  BillValues_ = values;
}

void TNotavero::SetStatusText(std::string text) {
  const std::lock_guard lock(StatusLock);
  StatusText_.swap(text);
}

// ---------------------------------------------------------------------------
// Response assembly (event thread)

void TNotavero::DataReceived(uint32_t count) {
  if (count < 1) {
    return;
  }
  try {
    for (uint32_t i = 0; i < count; ++i) {
      ProcessRxByte();
      if (ExchangeStatus.load() != xsWaiting) {
        // Hand over: the exchange takes the reply while this thread waits a
        // little, so that the rest of the batch does not disturb it.
        ResponseTaken.Reset();
        ResponseReady.Set();
        ResponseTaken.Wait(kHandOverWait);
      }
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch)
    // A purge of the polling thread emptied the ring after its bytes were
    // counted; the rest of the batch is gone, the assembler keeps its state.
  }
}

void TNotavero::ProcessRxByte() {
  const uint8_t byte = ReadByte();  // every byte is consumed, whatever the state
  const std::lock_guard lock(RxLock);
  if (ExchangeStatus.load() != xsWaiting) {
    return;
  }
  switch (Rx.Feed(byte)) {
    case TResponseAssembler::Result::kGood:
      ExchangeStatus.store(xsOk);
      break;
    case TResponseAssembler::Result::kBadCrc:
      ExchangeStatus.store(xsBadCrc);
      break;
    case TResponseAssembler::Result::kIncomplete:
      break;
  }
}

// ---------------------------------------------------------------------------
// Command exchange (polling thread)

void TNotavero::CheckStopping() const {
  if (Destroying.load()) {
    throw EDriverStopping();
  }
}

void TNotavero::PrepareExchange() {
  {
    const std::lock_guard lock(RxLock);
    Rx.Restart();
    ExchangeStatus.store(xsWaiting);
  }
  Purge();
  ResponseReady.Reset();
  ResponseTaken.Set();
  const std::lock_guard lock(RxLock);
  Rx.RxLength = 0;
}

void TNotavero::SendFrame(const uint8_t* frame, std::size_t count) {
  PrepareExchange();
  LogPacket("Send:", frame, count);
  try {
    PutBlock(frame, static_cast<uint16_t>(count));
  } catch (...) {
    ExchangeStatus.store(xsSendFailed);
  }
}

void TNotavero::WaitResponse(std::chrono::milliseconds timeout) {
  const bool signalled = ResponseReady.Wait(timeout);
  CheckStopping();
  std::array<uint8_t, kMaxReply> received{};
  std::size_t length = 0;
  {
    const std::lock_guard lock(RxLock);
    if (!signalled) {
      ExchangeStatus.store(xsTimeout);
    }
    length = std::min(static_cast<std::size_t>(std::max(Rx.RxLength, 0)), kMaxReply);
    std::copy_n(Rx.RxBuffer.begin(), length, received.begin());
  }
  LogPacket("Receive:", received.data(), length);
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
      WaitResponse(kResponseTimeout);
    } else {
      // The frame is on its way and the device acts on it, so the exchange
      // completes even when destruction cuts the pause short: after the
      // acknowledge of a stacked event the device forgets the event, and
      // the rest of the cycle must still tell the host.
      Stopping.Wait(kNoReplyPause);
      ExchangeStatus.store(xsOk);
    }
  } while (ExchangeStatus.load() == xsTimeout && attempts < kAttempts);

  const uint16_t status = ExchangeStatus.load();
  if (status == xsOk) {
    const std::lock_guard lock(RxLock);
    const auto length = static_cast<std::size_t>(std::max(Rx.RxLength, 0));
    std::copy_n(Rx.RxBuffer.begin(), std::min(length, buffer_size), buffer);
    expected = static_cast<int32_t>(length);
  }
  return status;
}

// ---------------------------------------------------------------------------
// Device commands (polling thread)

int32_t TNotavero::Command(uint8_t* buffer, std::size_t buffer_size, std::size_t n, int32_t expected) {
  if (Exchange(buffer, buffer_size, n, expected) != xsOk) {
    throw ECashDevice();
  }
  return expected;
}

void TNotavero::SendSimple(uint8_t command) {
  std::array<uint8_t, kCommandBufferSize> buffer{command};
  Command(buffer.data(), buffer.size(), 1, 0);
}

uint16_t TNotavero::Poll() {
  std::array<uint8_t, kCommandBufferSize> buffer{cmdPoll};
  const int32_t length = Command(buffer.data(), buffer.size(), 1, 8);
  if (length != 6 && length != 7) {
    return 0;
  }
  // A 6-byte frame carrying 0x00 (acknowledge) or 0xFF (refusal) is the
  // device's late answer to an earlier command that awaited no reply, which
  // pushed the poll's own reply out unread.  It is no status, and it is not
  // acknowledged: the device would take that acknowledge for the unread
  // reply and drop an event it held, a stacked bill among them.
  if (length == 6 && (buffer[3] == kDeviceAck || buffer[3] == kDeviceRefusal)) {
    return 0;
  }
  const uint16_t status = MakeStatus(buffer[3], length == 7 ? buffer[4] : 0);
  Ack();
  return status;
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

void TNotavero::GetBillTable(BillValueTable& values) {
  constexpr auto kLength = static_cast<int32_t>(kBillTableFrameLength);
  values.fill(0);
  std::array<uint8_t, kBillTableBufferSize> buffer{cmdGetBillTable};
  if (Command(buffer.data(), buffer.size(), 1, kLength) != kLength) {
    return;
  }
  Ack();
  values = DecodeBillTable(buffer.data());
}

void TNotavero::SetSecurity() {
  std::array<uint8_t, kCommandBufferSize> buffer{cmdSetSecurity};
  std::copy(kSecurityParameters.begin(), kSecurityParameters.end(), buffer.begin() + 1);
  Command(buffer.data(), buffer.size(), 1 + kSecurityParameters.size(), 0);
}

void TNotavero::EnableBillTypes(bool enable) {
  const auto parameters = EnableParameters(enable ? EnableMask(BillValues_) : 0);
  std::array<uint8_t, kCommandBufferSize> buffer{cmdEnableBillTypes};
  std::copy(parameters.begin(), parameters.end(), buffer.begin() + 1);
  Command(buffer.data(), buffer.size(), 1 + parameters.size(), 0);
}

void TNotavero::Stack() {
  SendSimple(cmdStack);
}

void TNotavero::ReturnBill() {
  SendSimple(cmdReturn);
}

bool TNotavero::NotifyBill(TBillEvent kind, uint8_t bill_type) {
  CurrencyAmount amount = 0;
  if (bill_type < BillValues_.size()) {
    amount = BillValues_[bill_type];
  } else {
    std::string line(kBillTypeOutOfTable);
    AppendHex2(line, bill_type);
    LogWrite(2, line);
  }
  if (BillCallback.c_callback != nullptr) {
    return BillCallback.c_callback(kind, amount, BillCallback.user) != 0;
  }
  if (BillCallback.callback != nullptr) {
    return BillCallback.callback(kind, amount);
  }
  return false;  // nobody to credit it: an escrowed bill goes back
}

// ---------------------------------------------------------------------------
// Polling thread

TNotaveroThread::TNotaveroThread(TNotavero& driver) : Driver(driver), thread_([this] { Execute(); }) {}

TNotaveroThread::~TNotaveroThread() {
  Terminate();
  WaitFor();
}

void TNotaveroThread::WaitFor() {
  if (thread_.joinable()) {
    thread_.join();
  }
}

void TNotaveroThread::Execute() {
  bool need_init = true;
  do {
    const auto started = std::chrono::steady_clock::now();
    try {
      RunCycle(need_init);
      continue;
    } catch (const EDriverStopping&) {
      break;
    } catch (const std::exception& error) {
      LogWrite(2, std::string(kThreadError) + error.what());
    } catch (...) {
      LogWrite(2, std::string(kThreadError));
    }
    const auto elapsed = std::chrono::steady_clock::now() - started;
    if (elapsed < kFailedCyclePace) {
      Driver.Stopping.Wait(std::chrono::duration_cast<std::chrono::milliseconds>(kFailedCyclePace - elapsed));
    }
  } while (!Terminated());
}

void TNotaveroThread::RunCycle(bool& need_init) {
  const uint16_t status = Driver.Poll();
  const uint8_t state = DeviceStateOf(status);
  const uint8_t sub_code = SubCodeOf(status);

  std::string text = StateToText(status);
  std::string line(kStateLine);
  AppendHex2(line, state);
  line += '-';
  AppendHex2(line, sub_code);
  line += ". ";
  line += text;
  Driver.SetStatusText(std::move(text));
  LogWrite(2, line);

  switch (state) {
    case dsPowerUp:
    case dsPowerUpWithBill:
    case dsPowerUpBillNoReturn:
      Driver.Reset();
      need_init = true;
      break;
    case dsInitializing:
      Driver.Initialize();
      break;
    case dsDisabled:
      if (need_init) {
        Driver.GetStatus();
        BillValueTable values{};
        Driver.GetBillTable(values);
        Driver.SetBillValues(values);
        Driver.SetSecurity();
        need_init = false;
      }
      break;
    case dsEscrow:
      if (Driver.NotifyBill(beEscrow, sub_code)) {
        Driver.Stack();
      } else {
        Driver.ReturnBill();
      }
      break;
    case dsStacked:
      Driver.NotifyBill(beStacked, sub_code);
      break;
    case dsReturned:
      Driver.NotifyBill(beReturned, sub_code);
      break;
    default:
      break;
  }

  bool enable = false;
  uint32_t request = 0;
  if (Driver.TakeEnableRequest(enable, request)) {
    Driver.EnableBillTypes(enable);
    Driver.EnableRequestDone(request);
  }
}

}  // namespace notavero
