// The simulated validator: a pure state machine that takes the bytes the
// driver sends and returns the bytes the device answers.  It does no I/O and
// reads no clock: every call gets the current time from its caller, so a test
// can run ten seconds of device time in a microsecond.
//
// Frames are the driver's: sync 0x02, address, length of the whole frame,
// payload, CRC-16 low byte first.  Replies carry address 0x03.
//
// States and how they move on:
//   power up (0x10, or 0x11 / 0x12 with a bill in the head) until Reset;
//   initialising (0x13) for kInitPolls polls, then disabled (0x19), or
//   waiting for a bill (0x14) when a non-zero mask has been enabled meanwhile;
//   EnableBillTypes: non-zero mask 0x19 -> 0x14, all-zero 0x14 -> 0x19;
//   Insert(type) while 0x14: accepting (0x15) for kAcceptPolls polls, then
//   escrow (0x80, sub-code type) or, for a type that is not enabled, bill
//   error (0x1C, sub-code kRejectNotEnabled);
//   escrow waits for Stack (stacking 0x17, then stacked 0x81) or Return
//   (returning 0x18, then returned 0x82); kEscrowTimeout without a decision
//   returns the bill by itself;
//   the events 0x81, 0x82 and 0x1C are reported on every poll until the
//   frame that follows such a poll reply is an Ack; then the device goes to
//   0x14 (or 0x19 when the mask is zero).
// Conditions set on demand (jam, cassette missing, full, failure, busy) are
// reported instead of the state underneath until Clear(); busy ends by
// itself when its time has run out.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "protocol/codes.h"
#include "sim/bill_table.h"

namespace notavero::sim {

using SimClock = std::chrono::steady_clock;
using SimTime = SimClock::time_point;

inline constexpr int kInitPolls = 3;
inline constexpr int kAcceptPolls = 2;
inline constexpr int kStackPolls = 2;
inline constexpr int kReturnPolls = 2;
inline constexpr std::chrono::seconds kEscrowTimeout{10};
// A frame whose bytes stop arriving for this long is dropped, so that a
// stray sync byte does not swallow the frames after it.
inline constexpr std::chrono::milliseconds kFrameGap{100};
// Bill error reason for a bill whose type is not enabled.
inline constexpr uint8_t kRejectNotEnabled = 0x68;

enum class Direction : uint8_t { kReceived, kSent };

struct TraceEntry {
  SimTime time;
  Direction direction = Direction::kReceived;
  std::vector<uint8_t> bytes;
};

// One piece of a reply: wait `pause`, then put `bytes` on the line.
struct ReplyChunk {
  std::chrono::milliseconds pause{0};
  std::vector<uint8_t> bytes;
};

// The answer to one received frame.  `chunks` is empty when the device stays
// silent; `bytes` is everything it sends, in one piece.
struct Reply {
  std::vector<uint8_t> request;
  bool request_crc_good = false;
  std::vector<ReplyChunk> chunks;
  std::vector<uint8_t> bytes;
};

struct BillCounters {
  uint64_t stacked = 0;
  uint64_t returned = 0;
  uint64_t stacked_sum = 0;  // currency units, from the bill table
  uint64_t returned_sum = 0;
  std::array<uint64_t, kBillTypeCount> stacked_by_type{};
  std::array<uint64_t, kBillTypeCount> returned_by_type{};
};

struct ModelOptions {
  uint8_t power_up_state = dsPowerUp;  // dsPowerUp, dsPowerUpWithBill or dsPowerUpBillNoReturn
  bool start_disabled = false;         // skip power-up and reset: start in 0x19
  BillTable table = DefaultBillTable();
  std::size_t trace_limit = 100000;  // newest entries kept; 0 keeps no trace
};

// Line faults waiting to be applied, as Status() shows them.
struct PendingFaults {
  unsigned silent = 0;
  unsigned bad_crc = 0;
  unsigned garbage = 0;
  unsigned split_pieces = 0;  // 0: the next reply goes in one piece
  std::chrono::milliseconds split_pause{0};
  unsigned delayed = 0;
  std::chrono::milliseconds delay{0};
  int bad_length = 0;  // -1 below 5, +1 above what the frame carries, 0 none
};

class DeviceModel {
 public:
  explicit DeviceModel(const ModelOptions& options, SimTime now = SimTime());

  // Feeds received bytes; returns one Reply per complete frame among them
  // (also for frames that get no answer).
  std::vector<Reply> Receive(const uint8_t* data, std::size_t count, SimTime now);
  // Applies what time alone changes: the escrow time-out, the end of busy.
  void Advance(SimTime now);
  // The next moment at which Advance would change something.
  [[nodiscard]] std::optional<SimTime> NextDeadline() const;

  // Device events on demand.  Each returns "" on success or says why not.
  std::string Insert(uint8_t bill_type, SimTime now);
  void PowerCycle(uint8_t power_up_state, SimTime now);
  void SetCondition(uint8_t state, uint8_t sub_code);  // 0x41..0x47
  void SetBusy(uint8_t tenths, SimTime now);           // 0x1B for tenths x 100 ms
  // Ends every condition and every pending line fault.
  void Clear();

  // Line faults on demand; they apply to the next frames or replies.
  void Silent(unsigned frames) { faults_.silent = frames; }
  void BadCrc(unsigned replies) { faults_.bad_crc = replies; }
  void Garbage(unsigned bytes) { faults_.garbage = bytes; }
  void Split(unsigned pieces, std::chrono::milliseconds pause);
  void Delay(std::chrono::milliseconds delay, unsigned replies);
  void BadLength(bool below_minimum) { faults_.bad_length = below_minimum ? -1 : 1; }

  // The state and sub-code the next poll reports.
  [[nodiscard]] uint8_t State() const;
  [[nodiscard]] uint8_t SubCode() const;
  [[nodiscard]] uint32_t EnabledMask() const { return enabled_mask_; }
  [[nodiscard]] const std::array<uint8_t, 3>& Security() const { return security_; }
  [[nodiscard]] const BillCounters& Counters() const { return counters_; }
  [[nodiscard]] const BillTable& Table() const { return table_; }
  [[nodiscard]] const PendingFaults& Faults() const { return faults_; }
  [[nodiscard]] const std::deque<TraceEntry>& Trace() const { return trace_; }
  [[nodiscard]] uint64_t FramesReceived() const { return frames_received_; }

 private:
  struct Condition {
    uint8_t state = 0;
    uint8_t sub_code = 0;
    std::optional<SimTime> until;  // busy ends by itself
  };

  void HandleFrame(const std::vector<uint8_t>& frame, SimTime now, Reply& reply);
  // Answer of the device to a good frame; empty for no answer.
  std::vector<uint8_t> Answer(const std::vector<uint8_t>& frame, SimTime now);
  std::vector<uint8_t> AnswerPoll(SimTime now);
  void Enter(uint8_t state, uint8_t sub_code = 0, int polls = 0);
  void EnterIdle();
  void Count(bool stacked);
  void ApplyLineFaults(std::vector<uint8_t> frame, Reply& reply);
  void AddTrace(SimTime time, Direction direction, const std::vector<uint8_t>& bytes);

  BillTable table_;
  std::size_t trace_limit_;
  uint8_t state_;
  uint8_t sub_code_ = 0;
  int polls_left_ = 0;           // polls still to report a passing state
  uint8_t bill_type_ = 0;        // the bill in the head
  SimTime escrow_since_{};       // when escrow began
  bool event_reported_ = false;  // the last reply reported an event; an Ack now ends it
  uint32_t enabled_mask_ = 0;
  std::array<uint8_t, 3> security_{};
  std::optional<Condition> condition_;
  PendingFaults faults_;
  uint32_t garbage_seed_ = 0x2545F491;
  BillCounters counters_;
  std::deque<TraceEntry> trace_;
  uint64_t frames_received_ = 0;

  SimTime now_;  // the latest time a caller has passed in

  // Frame assembly.
  std::vector<uint8_t> rx_;
  SimTime rx_last_{};
};

}  // namespace notavero::sim
