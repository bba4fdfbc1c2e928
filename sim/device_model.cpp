#include "sim/device_model.h"

#include <algorithm>

#include "protocol/bill_table.h"
#include "protocol/frame.h"

namespace notavero::sim {

namespace {

std::vector<uint8_t> MakeFrame(const uint8_t* payload, std::size_t n) {
  TxFrame frame{};
  const std::size_t length = BuildFrame(frame, payload, n);
  return {frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length)};
}

std::vector<uint8_t> MakeFrame(std::initializer_list<uint8_t> payload) {
  return MakeFrame(payload.begin(), payload.size());
}

void PutCrc(std::vector<uint8_t>& frame) {
  const uint16_t crc = Crc16(frame.data(), frame.size() - 2);
  frame[frame.size() - 2] = static_cast<uint8_t>(crc & 0xFF);
  frame[frame.size() - 1] = static_cast<uint8_t>(crc >> 8);
}

bool IsEvent(uint8_t state) {
  return state == dsStacked || state == dsReturned || state == dsBillError;
}

// States whose poll reply carries a sub-code byte.
bool HasSubCode(uint8_t state) {
  return state == dsBusy || state == dsBillError || state == dsFailure || state == dsEscrow ||
         state == dsStacked || state == dsReturned;
}

uint32_t MaskFromBytes(const uint8_t* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 16) | (static_cast<uint32_t>(bytes[1]) << 8) | bytes[2];
}

}  // namespace

DeviceModel::DeviceModel(const ModelOptions& options, SimTime now)
    : table_(options.table),
      trace_limit_(options.trace_limit),
      state_(options.start_disabled ? static_cast<uint8_t>(dsDisabled) : options.power_up_state),
      now_(now),
      rx_last_(now) {}

std::vector<Reply> DeviceModel::Receive(const uint8_t* data, std::size_t count, SimTime now) {
  Advance(now);
  std::vector<Reply> replies;
  if (count > 0 && !rx_.empty() && now - rx_last_ > kFrameGap) {
    rx_.clear();
  }
  for (std::size_t i = 0; i < count; ++i) {
    const uint8_t byte = data[i];
    if (rx_.empty() && byte != kFrameSync) {
      continue;  // not a frame start: noise on the line
    }
    rx_.push_back(byte);
    if (rx_.size() == 3 && rx_[2] < kMinFrameLength) {
      rx_.clear();  // impossible length: look for the next sync byte
      continue;
    }
    if (rx_.size() >= 3 && rx_.size() == rx_[2]) {
      Reply reply;
      HandleFrame(rx_, now, reply);
      replies.push_back(std::move(reply));
      rx_.clear();
    }
  }
  if (count > 0) {
    rx_last_ = now;
  }
  return replies;
}

void DeviceModel::HandleFrame(const std::vector<uint8_t>& frame, SimTime now, Reply& reply) {
  ++frames_received_;
  AddTrace(now, Direction::kReceived, frame);
  reply.request = frame;
  reply.request_crc_good = FrameCrcGood(frame.data(), frame.size());
  if (faults_.silent > 0) {
    --faults_.silent;  // a deaf device: the frame changes nothing
    return;
  }
  if (!reply.request_crc_good) {
    return;
  }
  std::vector<uint8_t> answer = Answer(frame, now);
  if (answer.empty()) {
    return;
  }
  ApplyLineFaults(std::move(answer), reply);
  AddTrace(now, Direction::kSent, reply.bytes);
}

std::vector<uint8_t> DeviceModel::Answer(const std::vector<uint8_t>& frame, SimTime now) {
  static const std::vector<uint8_t> kAck = MakeFrame({cmdAck});
  const uint8_t command = frame[3];
  const std::size_t parameters = frame.size() - kFrameOverhead - 1;
  const bool event_was_reported = event_reported_;
  event_reported_ = false;
  switch (command) {
    case cmdAck:
      if (parameters == 0 && event_was_reported && IsEvent(state_)) {
        EnterIdle();
      }
      return {};
    case cmdPoll:
      return parameters == 0 ? AnswerPoll(now) : std::vector<uint8_t>();
    case cmdReset:
      if (parameters != 0) {
        return {};
      }
      enabled_mask_ = 0;
      if (condition_ && condition_->state == dsBusy) {
        condition_.reset();
      }
      Enter(dsInitializing, 0, kInitPolls);
      return kAck;
    case cmdGetStatus: {
      if (parameters != 0) {
        return {};
      }
      const std::array<uint8_t, 6> payload = {static_cast<uint8_t>(enabled_mask_ >> 16),
                                              static_cast<uint8_t>(enabled_mask_ >> 8),
                                              static_cast<uint8_t>(enabled_mask_),
                                              security_[0],
                                              security_[1],
                                              security_[2]};
      return MakeFrame(payload.data(), payload.size());
    }
    case cmdSetSecurity:
      if (parameters != kSecurityParameters.size()) {
        return {};
      }
      std::copy_n(frame.begin() + 4, 3, security_.begin());
      return kAck;
    case cmdEnableBillTypes:
      if (parameters != kEnableParameterCount) {
        return {};
      }
      enabled_mask_ = MaskFromBytes(&frame[4]);
      if (state_ == dsDisabled && enabled_mask_ != 0) {
        Enter(dsWaitingForBill);
      } else if (state_ == dsWaitingForBill && enabled_mask_ == 0) {
        Enter(dsDisabled);
      }
      return kAck;
    case cmdStack:
    case cmdReturn:
      if (parameters != 0) {
        return {};
      }
      if (state_ == dsEscrow) {
        if (command == cmdStack) {
          Enter(dsStacking, 0, kStackPolls);
        } else {
          Enter(dsReturning, 0, kReturnPolls);
        }
      }
      return kAck;
    case cmdGetBillTable: {
      if (parameters != 0) {
        return {};
      }
      const auto payload = EncodeBillTable(table_);
      return MakeFrame(payload.data(), payload.size());
    }
    default:
      return {};  // unknown command: no answer, no change
  }
}

std::vector<uint8_t> DeviceModel::AnswerPoll(SimTime now) {
  const uint8_t state = State();
  const uint8_t sub_code = SubCode();
  std::vector<uint8_t> answer = HasSubCode(state) ? MakeFrame({state, sub_code}) : MakeFrame({state});
  if (condition_) {
    return answer;  // the state underneath waits until the condition ends
  }
  if (IsEvent(state_)) {
    event_reported_ = true;
  } else if (polls_left_ > 0 && --polls_left_ == 0) {
    switch (state_) {
      case dsInitializing:
        EnterIdle();
        break;
      case dsAccepting:
        if ((enabled_mask_ >> bill_type_ & 1U) != 0) {
          Enter(dsEscrow, bill_type_);
          escrow_since_ = now;
        } else {
          Enter(dsBillError, kRejectNotEnabled);
        }
        break;
      case dsStacking:
        Enter(dsStacked, bill_type_);
        Count(true);
        break;
      case dsReturning:
        Enter(dsReturned, bill_type_);
        Count(false);
        break;
      default:
        break;
    }
  }
  return answer;
}

void DeviceModel::Enter(uint8_t state, uint8_t sub_code, int polls) {
  state_ = state;
  sub_code_ = sub_code;
  polls_left_ = polls;
  event_reported_ = false;
}

void DeviceModel::EnterIdle() {
  Enter(enabled_mask_ != 0 ? dsWaitingForBill : dsDisabled);
}

void DeviceModel::Count(bool stacked) {
  const uint64_t value = table_[bill_type_].Value();
  if (stacked) {
    ++counters_.stacked;
    ++counters_.stacked_by_type[bill_type_];
    counters_.stacked_sum += value;
  } else {
    ++counters_.returned;
    ++counters_.returned_by_type[bill_type_];
    counters_.returned_sum += value;
  }
}

void DeviceModel::Advance(SimTime now) {
  now_ = std::max(now_, now);
  if (condition_ && condition_->until && now >= *condition_->until) {
    condition_.reset();
  }
  if (state_ == dsEscrow && now - escrow_since_ >= kEscrowTimeout) {
    Enter(dsReturning, 0, kReturnPolls);
  }
}

std::optional<SimTime> DeviceModel::NextDeadline() const {
  std::optional<SimTime> next;
  if (condition_ && condition_->until) {
    next = condition_->until;
  }
  if (state_ == dsEscrow) {
    const SimTime escrow_end = escrow_since_ + kEscrowTimeout;
    next = next ? std::min(*next, escrow_end) : escrow_end;
  }
  return next;
}

std::string DeviceModel::Insert(uint8_t bill_type, SimTime now) {
  Advance(now);
  if (bill_type >= kBillTypeCount) {
    return "bill type must be 0 to 23";
  }
  if (condition_) {
    return "the device reports a fault, it takes no bill (clear it first)";
  }
  if (state_ != dsWaitingForBill) {
    return "the device is not waiting for a bill";
  }
  bill_type_ = bill_type;
  Enter(dsAccepting, 0, kAcceptPolls);
  return {};
}

void DeviceModel::PowerCycle(uint8_t power_up_state, SimTime now) {
  Advance(now);
  condition_.reset();
  enabled_mask_ = 0;
  security_ = {};
  rx_.clear();
  Enter(power_up_state);
}

void DeviceModel::SetCondition(uint8_t state, uint8_t sub_code) {
  condition_ = Condition{state, sub_code, {}};
}

void DeviceModel::SetBusy(uint8_t tenths, SimTime now) {
  condition_ = Condition{dsBusy, tenths, now + std::chrono::milliseconds(100) * tenths};
}

void DeviceModel::Clear() {
  condition_.reset();
  faults_ = PendingFaults{};
}

void DeviceModel::Split(unsigned pieces, std::chrono::milliseconds pause) {
  faults_.split_pieces = pieces;
  faults_.split_pause = pause;
}

void DeviceModel::Delay(std::chrono::milliseconds delay, unsigned replies) {
  faults_.delay = delay;
  faults_.delayed = replies;
}

uint8_t DeviceModel::State() const {
  return condition_ ? condition_->state : state_;
}

uint8_t DeviceModel::SubCode() const {
  if (!condition_) {
    return sub_code_;
  }
  if (!condition_->until) {
    return condition_->sub_code;
  }
  // Busy reports the time it still needs, in units of 100 ms, rounded up.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*condition_->until - now_);
  return static_cast<uint8_t>(std::clamp<int64_t>((left.count() + 99) / 100, 0, 255));
}

void DeviceModel::ApplyLineFaults(std::vector<uint8_t> frame, Reply& reply) {
  if (faults_.bad_length != 0) {
    frame[2] =
        faults_.bad_length < 0 ? 3 : static_cast<uint8_t>(std::min<std::size_t>(frame.size() + 4, 255));
    PutCrc(frame);
    faults_.bad_length = 0;
  }
  if (faults_.bad_crc > 0) {
    --faults_.bad_crc;
    frame[frame.size() - 2] ^= 0xFF;
  }
  std::vector<uint8_t> bytes;
  for (; faults_.garbage > 0; --faults_.garbage) {
    uint8_t noise = kFrameSync;
    while (noise == kFrameSync) {  // noise never looks like a frame start
      garbage_seed_ = garbage_seed_ * 1103515245U + 12345U;
      noise = static_cast<uint8_t>(garbage_seed_ >> 16);
    }
    bytes.push_back(noise);
  }
  bytes.insert(bytes.end(), frame.begin(), frame.end());

  std::chrono::milliseconds first_pause{0};
  if (faults_.delayed > 0) {
    --faults_.delayed;
    first_pause = faults_.delay;
  }
  const std::size_t pieces = std::clamp<std::size_t>(faults_.split_pieces, 1, bytes.size());
  const std::size_t piece_size = (bytes.size() + pieces - 1) / pieces;
  for (std::size_t start = 0; start < bytes.size(); start += piece_size) {
    const std::size_t end = std::min(bytes.size(), start + piece_size);
    reply.chunks.push_back(
        ReplyChunk{start == 0 ? first_pause : faults_.split_pause,
                   std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                                        bytes.begin() + static_cast<std::ptrdiff_t>(end))});
  }
  faults_.split_pieces = 0;
  reply.bytes = std::move(bytes);
}

void DeviceModel::AddTrace(SimTime time, Direction direction, const std::vector<uint8_t>& bytes) {
  if (trace_limit_ == 0) {
    return;
  }
  if (trace_.size() >= trace_limit_) {
    trace_.pop_front();
  }
  trace_.push_back(TraceEntry{time, direction, bytes});
}

}  // namespace notavero::sim
