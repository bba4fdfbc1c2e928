#include "serial/fake_device.h"

#include <algorithm>

namespace notavero {

// ---- the test's side

void FakeLine::Receive(const Bytes& bytes) {
  {
    std::lock_guard lock(mutex_);
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    events_.push_back(kEvRxChar);
  }
  cv_.notify_all();
}

void FakeLine::RaiseEvent(uint32_t events) {
  {
    std::lock_guard lock(mutex_);
    events_.push_back(events);
  }
  cv_.notify_all();
}

void FakeLine::SetErrors(uint32_t errors) {
  std::lock_guard lock(mutex_);
  errors_ = errors;
}

void FakeLine::LimitReads(uint32_t limit) {
  std::lock_guard lock(mutex_);
  read_limit_ = limit;
}

void FakeLine::StarveReads(bool starve) {
  std::lock_guard lock(mutex_);
  starve_ = starve;
}

void FakeLine::FailWrites(int count) {
  std::lock_guard lock(mutex_);
  fail_writes_ = count;
}

void FakeLine::HoldWrites(bool hold) {
  {
    std::lock_guard lock(mutex_);
    hold_writes_ = hold;
  }
  cv_.notify_all();
}

FakeLine::Bytes FakeLine::Written() const {
  std::lock_guard lock(mutex_);
  return written_;
}

std::vector<uint32_t> FakeLine::WriteSizes() const {
  std::lock_guard lock(mutex_);
  return write_sizes_;
}

std::vector<FakeLine::ReadCall> FakeLine::Reads() const {
  std::lock_guard lock(mutex_);
  return reads_;
}

std::vector<uint32_t> FakeLine::Masks() const {
  std::lock_guard lock(mutex_);
  return masks_;
}

std::vector<LineSettings> FakeLine::SettingsWritten() const {
  std::lock_guard lock(mutex_);
  return settings_written_;
}

std::size_t FakeLine::InputLeft() const {
  std::lock_guard lock(mutex_);
  return input_.size();
}

int FakeLine::Purges() const {
  std::lock_guard lock(mutex_);
  return purges_;
}

int FakeLine::WriteAttempts() const {
  std::lock_guard lock(mutex_);
  return write_attempts_;
}

bool FakeLine::Opened() const {
  std::lock_guard lock(mutex_);
  return opened_;
}

bool FakeLine::Closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

uint16_t FakeLine::PortOpened() const {
  std::lock_guard lock(mutex_);
  return port_;
}

bool FakeLine::WaitWritten(std::size_t count) {
  return WaitUntil([&] { return written_.size() >= count; });
}

bool FakeLine::WaitWriteHeld() {
  return WaitUntil([&] { return write_held_; });
}

bool FakeLine::WaitIdle() {
  return WaitUntil([&] { return events_.empty() && waiting_; });
}

// ---- the device side, called by the port

bool FakeDevice::Open(uint16_t port_number) {
  std::lock_guard lock(line_->mutex_);
  if (line_->refuse_open) {
    return false;
  }
  line_->opened_ = true;
  line_->port_ = port_number;
  return true;
}

std::string FakeDevice::OpenError() const {
  std::lock_guard lock(line_->mutex_);
  return line_->refuse_open ? line_->open_error : std::string();
}

bool FakeDevice::SetupQueues(uint32_t /*in_size*/, uint32_t /*out_size*/) {
  std::lock_guard lock(line_->mutex_);
  return !line_->refuse_queues;
}

bool FakeDevice::GetLineSettings(LineSettings& settings) {
  std::lock_guard lock(line_->mutex_);
  settings = line_->settings;
  return true;
}

bool FakeDevice::SetLineSettings(const LineSettings& settings) {
  std::lock_guard lock(line_->mutex_);
  if (line_->refuse_settings) {
    return false;
  }
  line_->settings = settings;
  line_->settings_written_.push_back(settings);
  return true;
}

bool FakeDevice::ClearErrors(uint32_t& errors, CommStat& stat) {
  std::lock_guard lock(line_->mutex_);
  errors = line_->errors_;
  line_->errors_ = 0;
  stat = CommStat{0, static_cast<uint32_t>(line_->input_.size()), 0};
  return true;
}

void FakeDevice::PurgeInput() {
  std::lock_guard lock(line_->mutex_);
  line_->input_.clear();
  ++line_->purges_;
}

bool FakeDevice::SetEventMask(uint32_t mask) {
  std::lock_guard lock(line_->mutex_);
  line_->mask_ = mask;
  line_->masks_.push_back(mask);
  return true;
}

WaitStatus FakeDevice::WaitEvent(uint32_t& events) {
  std::unique_lock lock(line_->mutex_);
  if (line_->interrupted_) {
    return WaitStatus::kEnded;
  }
  if (line_->refuse_ring_trail && (line_->mask_ & kEvRingTrail) != 0) {
    return WaitStatus::kRefused;
  }
  line_->waiting_ = true;
  line_->cv_.notify_all();
  line_->cv_.wait(lock, [&] { return line_->interrupted_ || !line_->events_.empty(); });
  line_->waiting_ = false;
  if (line_->interrupted_) {
    return WaitStatus::kEnded;
  }
  events = line_->events_.front() & line_->mask_;
  line_->events_.pop_front();
  return WaitStatus::kEvent;
}

uint32_t FakeDevice::Read(uint8_t* dest, uint32_t count) {
  std::lock_guard lock(line_->mutex_);
  uint32_t got = 0;
  if (!line_->starve_) {
    got = std::min<uint32_t>(count, static_cast<uint32_t>(line_->input_.size()));
    if (line_->read_limit_ != 0) {
      got = std::min(got, line_->read_limit_);
    }
    std::copy_n(line_->input_.begin(), got, dest);
    line_->input_.erase(line_->input_.begin(), line_->input_.begin() + got);
  }
  line_->reads_.push_back({count, got});
  return got;
}

WriteStatus FakeDevice::Write(const uint8_t* data, uint32_t count, uint32_t /*wait_ms*/, uint32_t& written) {
  std::unique_lock lock(line_->mutex_);
  written = 0;
  ++line_->write_attempts_;
  if (line_->interrupted_) {
    return WriteStatus::kInterrupted;
  }
  if (line_->fail_writes_ > 0) {
    --line_->fail_writes_;
    line_->cv_.notify_all();
    return WriteStatus::kFailed;
  }
  if (line_->hold_writes_) {
    line_->write_held_ = true;
    line_->cv_.notify_all();
    line_->cv_.wait(lock, [&] { return line_->interrupted_ || !line_->hold_writes_; });
    line_->write_held_ = false;
    if (line_->interrupted_) {
      return WriteStatus::kInterrupted;
    }
  }
  line_->written_.insert(line_->written_.end(), data, data + count);
  line_->write_sizes_.push_back(count);
  written = count;
  line_->cv_.notify_all();
  return WriteStatus::kDone;
}

void FakeDevice::Interrupt() {
  {
    std::lock_guard lock(line_->mutex_);
    line_->interrupted_ = true;
  }
  line_->cv_.notify_all();
}

void FakeDevice::Close() {
  std::lock_guard lock(line_->mutex_);
  line_->closed_ = true;
}

}  // namespace notavero
