#include "serial/com_port.h"

#include <chrono>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/cp1251.h"
#include "log/logger.h"

namespace notavero {
namespace {

constexpr auto kOpenFailText = Cp1251(u8"Невозможно открыть COM");
constexpr auto kOpenFailPathText = Cp1251(u8"Невозможно открыть ");

std::string WithPort(std::string_view prefix, uint16_t port, std::string_view suffix = {}) {
  std::string text(prefix);
  text += std::to_string(port);
  text += suffix;
  return text;
}

constexpr std::chrono::milliseconds kStartAckWait{3000};
// How long a writer waits before it issues a piece again after the device
// refused it at once, and how long the event thread waits after a wait that
// failed at once: a device that keeps failing is not spun on.
constexpr uint32_t kRetryPauseMs = 10;
// The input ring size as a 16-bit value: the ring arithmetic is 16-bit throughout.
constexpr uint16_t kInSize = TComPort::kInRingSize;

}  // namespace

EOpenPortFail::EOpenPortFail(uint16_t port, std::string_view detail)
    : ESerialIO(detail.empty() ? WithPort(kOpenFailText.view(), port)
                               : WithPort(kOpenFailText.view(), port, " (") + std::string(detail) + ")") {}
EOpenPortFail::EOpenPortFail(std::string_view path, std::string_view detail)
    : ESerialIO(std::string(kOpenFailPathText.view()) + std::string(path) +
                (detail.empty() ? std::string() : " (" + std::string(detail) + ")")) {}
EPortNotOpen::EPortNotOpen(uint16_t port) : ESerialIO(WithPort("Port COM", port, " not open")) {}
EBufferIsEmpty::EBufferIsEmpty(uint16_t port) : ESerialIO(WithPort("Buffer is empty for port COM", port)) {}
EOutputBufferTooSmall::EOutputBufferTooSmall(uint16_t port)
    : ESerialIO(WithPort("Buffer too small for port COM", port)) {}
EPutBlockFail::EPutBlockFail(uint16_t port) : ESerialIO(WithPort("Output error for port COM", port)) {}

TComPort::TComPort(uint16_t port_number)
    : TComPort(port_number, port_number != 0 ? MakePlatformDevice() : nullptr) {}

TComPort::TComPort(uint16_t port_number, std::unique_ptr<SerialDevice> device)
    : port_number_(port_number), device_(std::move(device)) {
  if (port_number_ != 0) {
    Open();
  }
}

TComPort::TComPort(std::string_view device_path, std::unique_ptr<SerialDevice> device)
    : port_number_(0), device_(std::move(device)), device_path_(device_path) {
  Open();
}

TComPort::~TComPort() {
  Close();
}

void TComPort::DataReceived(uint32_t /*count*/) {}

void TComPort::PortFailed() {}

void TComPort::EnableDataReceived() {
  data_received_enabled_.store(true, std::memory_order_release);
}

void TComPort::SetOnCommEvent(CommEventHandler handler, void* context) {
  std::lock_guard lock(port_lock_);
  on_comm_event_ = handler;
  on_comm_event_context_ = context;
}

// ---- opening and closing

void TComPort::Open() {
  if (device_ == nullptr) {
    FailOpen({});
  }
  try {
    {
      std::lock_guard lock(port_lock_);
      stat_ = {};
      last_events_seen_ = 0;
      ring_trail_seen_ = false;
      stop_requested_.store(false);
      lost_.store(false);
      if (!device_->Open(port_number_)) {
        FailOpen(device_->OpenError());
      }
      if (!device_->SetupQueues(in_queue_size_, out_queue_size_)) {
        device_->Close();
        throw ENotSupported(WithPort("Setup parameter not supported for COM", port_number_));
      }
      in_buffer_.assign(kInRingSize, 0);
      out_buffer_.assign(out_queue_size_, 0);
      out_head_ = out_tail_ = 0;
      out_full_ = false;
      port_name_ = device_path_.empty() ? WithPort("COM", port_number_) : device_path_;
      identity_ = device_->Identity();
      if (identity_.empty()) {
        identity_ = port_name_;
      }
      in_queue_copy_ = in_queue_size_;
      out_ring_size_ = out_queue_size_;
      error_bits_ = 0;
      last_write_count_ = 0;
      in_overflow_ = false;
      in_full_ = false;
      device_->GetLineSettings(dcb_);
      in_head_ = in_tail_ = 0;
      event_mask_ = kEventMask;
      opened_.store(true, std::memory_order_release);
      // The traffic of an open port is logged line by line: the log keeps
      // its file open meanwhile.
      LogHoldFile();
    }
    ApplySettings(baud_rate_, parity_, byte_size_, stop_bits_);
    RefreshStatus();
    StartThreads();
  } catch (...) {
    if (opened_.load()) {
      Close();
    }
    throw;
  }
}

void TComPort::Close() {
  if (!opened_.load(std::memory_order_acquire)) {
    return;
  }
  StopThreads();
  ReleaseResources();
}

void TComPort::FailOpen(std::string_view detail) const {
  if (!device_path_.empty()) {
    throw EOpenPortFail(device_path_, detail);
  }
  throw EOpenPortFail(port_number_, detail);
}

void TComPort::Reopen() {
  Close();
  Open();
}

void TComPort::ReleaseResources() {
  std::lock_guard lock(port_lock_);
  device_->Close();
  in_buffer_.clear();
  in_buffer_.shrink_to_fit();
  out_buffer_.clear();
  out_buffer_.shrink_to_fit();
  opened_.store(false, std::memory_order_release);
  LogReleaseFile();
}

// ---- settings and status

void TComPort::SetBaudRate(uint32_t value) {
  baud_rate_ = value;
  ApplySettings(value, kKeepParity, kKeepByteSize, kKeepStopBits);
}

void TComPort::SetByteSize(uint8_t value) {
  byte_size_ = value;
  ApplySettings(kKeepBaudRate, kKeepParity, value, kKeepStopBits);
}

void TComPort::SetStopBits(uint8_t value) {
  stop_bits_ = value;
  ApplySettings(kKeepBaudRate, kKeepParity, kKeepByteSize, value);
}

void TComPort::SetParity(uint8_t value) {
  parity_ = value;
  ApplySettings(kKeepBaudRate, value, kKeepByteSize, kKeepStopBits);
}

void TComPort::ApplySettings(uint32_t baud, uint16_t parity, uint8_t byte_size, uint8_t stop_bits) {
  if (!IsOpen()) {
    return;
  }
  std::lock_guard lock(port_lock_);
  if (stop_bits != kKeepStopBits) {
    stop_bits = stop_bits == 0 ? 1 : (stop_bits > 2 ? 2 : stop_bits);
  }
  // As on the device itself, only the write of the settings can fail: a
  // failed read leaves the last settings read in place.
  (void)device_->GetLineSettings(dcb_);
  if (baud != kKeepBaudRate) {
    dcb_.baud_rate = baud;
  }
  if (parity != kKeepParity) {
    dcb_.parity = static_cast<uint8_t>(parity & 0xFF);
  }
  if (byte_size != kKeepByteSize) {
    dcb_.byte_size = byte_size;
  }
  if (stop_bits != kKeepStopBits) {
    dcb_.stop_bits = stop_bits == 1 ? kOneStopBit : kTwoStopBits;
  }
  // RTS control disabled; the upper half of the flag word cleared.
  dcb_.flags &= 0xCFFF;
  if (!device_->SetLineSettings(dcb_)) {
    throw ENotSupported(WithPort("Parameter not supported for COM", port_number_));
  }
}

uint32_t TComPort::GetErrors(CommStat& stat) {
  uint32_t errors = 0;
  CommStat fresh;
  if (!device_->ClearErrors(errors, fresh)) {
    errors = 0;
  }
  std::lock_guard lock(port_lock_);
  stat = fresh;
  // The output count means bytes still waiting in the output ring.
  stat.out_queue = OutPending();
  return errors;
}

void TComPort::RefreshStatus() {
  CommStat fresh;
  const uint32_t errors = GetErrors(fresh);
  std::lock_guard lock(port_lock_);
  stat_ = fresh;
  error_bits_ |= errors & 0x1F;
}

void TComPort::CheckOpen() const {
  if (!IsOpen()) {
    throw EPortNotOpen(port_number_);
  }
}

PortStatus TComPort::Status() const {
  std::lock_guard lock(port_lock_);
  PortStatus s;
  s.in_head = in_head_;
  s.in_tail = in_tail_;
  s.in_full = in_full_;
  s.in_overflow = in_overflow_;
  s.in_count = InCount();
  s.out_head = out_head_;
  s.out_tail = out_tail_;
  s.out_ring_size = out_ring_size_;
  s.out_full = out_full_;
  s.out_pending = OutPending();
  s.error_bits = error_bits_;
  s.last_write_count = last_write_count_;
  s.stat = stat_;
  s.last_events = last_events_seen_;
  s.ring_trail_seen = ring_trail_seen_;
  s.receiving = receiving_.load();
  s.port_name = port_name_;
  s.identity = identity_.empty() ? port_name_ : identity_;
  return s;
}

// ---- the input ring

uint32_t TComPort::InCount() const {
  if (in_head_ > in_tail_) {
    return in_head_ - in_tail_;
  }
  if (in_head_ < in_tail_) {
    return in_head_ + kInRingSize - in_tail_;
  }
  return in_full_ ? kInRingSize : 0;
}

uint8_t TComPort::PeekByte(uint16_t index) const {
  std::lock_guard lock(port_lock_);
  if (InCount() < index) {
    throw EBufferIsEmpty(port_number_);
  }
  auto pos = static_cast<uint16_t>(in_tail_ + index - 1);
  if (pos >= kInRingSize) {
    pos = static_cast<uint16_t>(pos - kInRingSize);
  }
  return in_buffer_[pos];
}

uint8_t TComPort::ReadByte() {
  CheckOpen();
  std::lock_guard lock(port_lock_);
  const uint8_t byte = PeekByte(1);
  in_tail_ = static_cast<uint16_t>(in_tail_ + 1);
  if (in_tail_ == kInRingSize) {
    in_tail_ = 0;
  }
  in_full_ = false;
  return byte;
}

void TComPort::Purge() {
  CheckOpen();
  std::lock_guard lock(port_lock_);
  device_->PurgeInput();
  purges_.fetch_add(1);
  in_tail_ = in_head_;
  in_full_ = false;
}

// ---- the output ring

uint32_t TComPort::OutPending() const {
  if (out_full_) {
    return out_ring_size_;
  }
  if (out_head_ > out_tail_) {
    return out_head_ - out_tail_;
  }
  if (out_head_ < out_tail_) {
    return out_ring_size_ - out_tail_ + out_head_;
  }
  return 0;
}

void TComPort::PutBlock(const uint8_t* data, uint16_t count) {
  CheckOpen();
  if (count == 0) {
    return;
  }
  std::lock_guard lock(port_lock_);
  error_bits_ = GetErrors(stat_);
  const auto room = static_cast<uint16_t>(out_ring_size_ - OutPending());
  if (room < count) {
    throw EOutputBufferTooSmall(port_number_);
  }
  // With nothing queued the writer thread is idle: what the device takes at
  // once needs no wake-up of it.
  uint32_t sent = 0;
  if (room == out_ring_size_ && !stop_requested_.load()) {
    sent = device_->WriteNow(data, count);
    if (sent >= count) {
      last_write_count_ = count;
      return;
    }
  }
  if (room == count - sent) {
    out_full_ = true;
  }
  last_write_count_ = static_cast<int32_t>(sent + AppendOutput(data + sent, count - sent));
  if (last_write_count_ <= 0) {
    last_write_count_ = -last_write_count_;
    error_bits_ = GetErrors(stat_);
    throw EPutBlockFail(port_number_);
  }
}

uint32_t TComPort::AppendOutput(const uint8_t* data, uint32_t count) {
  {
    std::lock_guard lock(port_lock_);
    const uint32_t space = out_ring_size_ - out_head_;
    if (space >= count) {
      std::memcpy(out_buffer_.data() + out_head_, data, count);
      out_head_ = space == count ? 0 : static_cast<uint16_t>(out_head_ + count);
    } else {
      std::memcpy(out_buffer_.data() + out_head_, data, space);
      std::memcpy(out_buffer_.data(), data + space, count - space);
      out_head_ = static_cast<uint16_t>(count - space);
    }
  }
  output_event_.Set();
  return count;
}

bool TComPort::OutputPending() const {
  std::lock_guard lock(port_lock_);
  return out_full_ || out_head_ != out_tail_;
}

// ---- threads

void TComPort::StartThreads() {
  std::lock_guard lock(port_lock_);
  stop_requested_.store(false);
  if (event_thread_.Start([this] { EventThread(); }, kThreadStackSize)) {
    (void)ack_event_.Wait(kStartAckWait);
    event_thread_.SetPriority(ThreadPriority::kTimeCritical);
  }
  if (writer_thread_.Start([this] { WriterThread(); }, kThreadStackSize)) {
    (void)ack_event_.Wait(kStartAckWait);
    writer_thread_.SetPriority(ThreadPriority::kHighest);
  }
}

// Orders both threads to stop, wakes them wherever they wait (the event wait,
// a pending write, the writer's idle wait, a retry pause) and joins them.  The
// lock is not held while joining: a thread that needs it on its way out (a
// DataReceived inside ReadByte, a drain updating its indices) gets it and ends.
void TComPort::StopThreads() {
  {
    // What is queued goes out first, for a short while: its sender counts it
    // as sent (the driver acts on an acknowledge once it is queued).  A
    // device that takes nothing is given up on when the wait runs out.
    std::unique_lock lock(stop_mutex_);
    stop_cv_.wait_for(lock, kCloseDrainWait, [this] { return !OutputPending(); });
    stop_requested_.store(true);
  }
  stop_cv_.notify_all();
  output_event_.Set();
  device_->Interrupt();
  writer_thread_.Join();
  event_thread_.Join();
}

void TComPort::PauseUnlessStopped(uint32_t ms) {
  std::unique_lock lock(stop_mutex_);
  stop_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_requested_.load(); });
}

void TComPort::EventThread() {
  receiving_.store(true);
  struct EndMark {
    std::atomic<bool>& flag;
    ~EndMark() { flag.store(false); }
  } end_mark{receiving_};
  uint32_t mask = kEventMask;
  device_->SetEventMask(mask);
  device_->SetTimeouts();
  ack_event_.Set();
  for (;;) {
    uint32_t events = 0;
    const WaitStatus status = device_->WaitEvent(events);
    if (status == WaitStatus::kEnded) {
      // Nothing more can be received on this port; unless the port is
      // being closed, the device failed under it.
      if (!stop_requested_.load()) {
        lost_.store(true);
        if (data_received_enabled_.load(std::memory_order_acquire)) {
          PortFailed();
        }
      }
      return;
    }
    if (status == WaitStatus::kEvent) {
      last_events_ = events;
      CommEventHandler handler = nullptr;
      void* context = nullptr;
      {
        std::lock_guard lock(port_lock_);
        last_events_seen_ = events;
        if ((events & kEvRingTrail) != 0) {
          ring_trail_seen_ = true;
        }
        handler = on_comm_event_;
        context = on_comm_event_context_;
      }
      if (handler != nullptr) {
        try {
          handler(context, events);
        } catch (...) {  // NOLINT(bugprone-empty-catch)
        }
      }
    } else if (status == WaitStatus::kRefused && (mask & kEvRingTrail) != 0) {
      mask = kFallbackEventMask;
      device_->SetEventMask(mask);
    } else {
      PauseUnlessStopped(kRetryPauseMs);
    }
    if (stop_requested_.load()) {
      return;
    }
    if ((last_events_ & (kEvBreak | kEvErr)) != 0) {
      RefreshStatus();
    }
    if ((last_events_ & kEvRxChar) != 0) {
      FillInputRing();
    }
    if (stop_requested_.load()) {
      return;
    }
  }
}

void TComPort::FillInputRing() {
  uint16_t head = 0;
  uint16_t room = 0;
  uint16_t span = 0;
  uint32_t wanted = 0;
  {
    std::lock_guard lock(port_lock_);
    if (in_full_) {
      return;  // the bytes stay in the device until the ring has room
    }
  }
  const uint64_t purges = purges_.load();
  RefreshStatus();
  {
    std::lock_guard lock(port_lock_);
    const uint32_t in_queue = stat_.in_queue;
    if (in_queue == 0) {
      return;
    }
    head = in_head_;
    if (in_head_ == in_tail_) {
      room = kInSize;
      span = static_cast<uint16_t>(kInSize - in_head_);
    } else if (in_head_ > in_tail_) {
      room = static_cast<uint16_t>(in_tail_ + kInSize - in_head_);
      span = static_cast<uint16_t>(kInSize - in_head_);
    } else {
      room = span = static_cast<uint16_t>(in_tail_ - in_head_);
    }
    in_overflow_ = room < in_queue;
    wanted = in_overflow_ ? room : in_queue;
  }
  // The device reads run without the lock; they write only the free part of
  // the ring, which ReadByte and Purge never touch.
  const uint32_t got1 = ReadPort(in_buffer_.data() + head, span);
  uint32_t got2 = 0;
  {
    std::lock_guard lock(port_lock_);
    in_head_ = static_cast<uint16_t>(in_head_ + got1);
    if (in_head_ >= kInSize) {
      in_head_ = 0;
    }
    if (got1 != 0) {
      in_full_ = in_head_ == in_tail_;
    }
  }
  if (wanted > span && got1 == span) {
    got2 = ReadPort(in_buffer_.data(), wanted - span);
    std::lock_guard lock(port_lock_);
    in_head_ = static_cast<uint16_t>(in_head_ + got2);
    if (got2 != 0) {
      in_full_ = in_head_ == in_tail_;
    }
  }
  if (data_received_enabled_.load(std::memory_order_acquire)) {
    // The port's threads raise nothing: an exception that escapes the
    // subclass would end the process.  The bytes it left stay in the ring.
    await_bytes_ = 1;
    try {
      DataReceived(got1 + got2);
    } catch (...) {  // NOLINT(bugprone-empty-catch)
    }
    // A purge since these bytes were read started the subclass afresh: what
    // it asked for from them no longer holds.
    std::lock_guard lock(port_lock_);
    if (purges_.load() == purges) {
      device_->HoldInput(await_bytes_);
    }
  }
}

uint32_t TComPort::ReadPort(uint8_t* dest, uint32_t count) {
  return device_->Read(dest, count);
}

void TComPort::WriterThread() {
  ack_event_.Set();
  for (;;) {
    (void)output_event_.Wait();
    if (stop_requested_.load()) {
      return;
    }
    DrainOutput();
    {
      const std::lock_guard lock(stop_mutex_);  // wakes a close waiting for the ring to empty
    }
    stop_cv_.notify_all();
    if (stop_requested_.load()) {
      return;
    }
  }
}

void TComPort::DrainOutput() {
  while (!stop_requested_.load() && OutputPending()) {
    uint16_t tail = 0;
    uint16_t end = 0;
    bool wraps = false;
    {
      std::lock_guard lock(port_lock_);
      tail = out_tail_;
      wraps = !(out_tail_ < out_head_);
      end = wraps ? out_ring_size_ : out_head_;
    }
    // The piece is written straight from the ring without the lock: PutBlock
    // only writes the free part, never the bytes between tail and head.
    uint32_t written = 0;
    const WriteStatus status = device_->Write(out_buffer_.data() + tail, static_cast<uint32_t>(end - tail),
                                              kWriteTimeoutMs, written);
    if (status == WriteStatus::kDone) {
      std::lock_guard lock(port_lock_);
      out_tail_ = wraps ? 0 : end;
      out_full_ = false;
    } else if (status == WriteStatus::kFailed) {
      PauseUnlessStopped(kRetryPauseMs);  // the same piece goes out again
    }
    // kTimedOut: the piece stays queued and is issued again at once;
    // kInterrupted: the loop ends on the stop order.
  }
}

}  // namespace notavero
