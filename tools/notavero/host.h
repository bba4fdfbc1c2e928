// A small host around the driver's C interface, shared by `notavero run` and
// `notavero demo`: it decides escrowed bills by a policy, prints every bill
// event, state change, link change and rejection as it happens, keeps the
// total credited and reads the driver's counters when it stops.
//
// The driver reports on its polling thread.  Its reports become lines in a
// queue that the main loop prints (Watch); a question of --ask prints the
// lines before it first, and lines that come while it waits follow the answer.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "driver/notavero.h"

namespace notavero::tool {

enum class EscrowPolicy { kStack, kReturn, kAsk };

class Host {
 public:
  // Decides one escrowed bill (amount in 1/10000 units); true stacks it.
  // Used instead of the policy when set.
  using Decider = std::function<bool(int64_t amount)>;

  explicit Host(EscrowPolicy policy);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Opens the driver on COM<port>, or on the device path; false (with the
  // error printed) on failure.
  bool Start(uint8_t port);
  bool StartDevice(const std::string& path);
  // Reads the driver's counters, frees the driver (no callback comes after
  // it) and prints what it reported meanwhile.
  void Stop();

  void SetDecider(Decider decider) { decider_ = std::move(decider); }
  // A descriptor that becomes readable when the user interrupts (Ctrl-C): a
  // question on the terminal then stops waiting and the bill is returned.
  void SetInterruptFd(int fd) { interrupt_fd_ = fd; }
  void SetEnabled(bool enabled);
  // Keeps acceptance on: asks again whenever the device reports that it is
  // disabled (the driver enables only the types of a bill table it has read,
  // and a request made before that enables nothing).
  void KeepEnabled(bool keep) { keep_enabled_ = keep; }

  // Prints the driver's reports that wait in the queue and renews the enable
  // request when needed.  Call it when WakeFd() turns readable and, if it
  // answers a time, again after that time at the latest (a renewal is due).
  std::optional<std::chrono::milliseconds> Watch();
  // Readable while reports wait to be printed.
  [[nodiscard]] int WakeFd() const { return wake_[0]; }

  // Waits until `count` bills have been stacked or returned in all, or the
  // time-out passes; returns whether they were.
  bool WaitForBills(int count, std::chrono::milliseconds timeout);

  // Bills that went into escrow and whose outcome has not been reported yet.
  [[nodiscard]] int BillsInHand() const;
  // Waits until no bill is in hand, or the time-out passes; returns whether
  // none is.
  bool WaitForBillsInHand(std::chrono::milliseconds timeout);

  [[nodiscard]] int64_t Credited() const { return credited_.load(); }
  [[nodiscard]] int StackedCount() const { return stacked_.load(); }
  [[nodiscard]] int ReturnedCount() const { return returned_.load(); }
  // The status word of the last state event, -1 before the first.
  [[nodiscard]] int32_t State() const { return state_.load(); }

  // Prints the counters read by Stop(), a block of lines without the time.
  void PrintCounters() const;

 private:
  bool Open(const nv_options& how, const std::string& where);
  static int OnBill(int32_t kind, int64_t amount, void* user);
  static void OnEvent(int32_t kind, int32_t code, void* user);
  // Queues a line for the main loop and wakes it.
  void Post(std::string line);
  // Prints the queued lines, in order; either thread may call it.
  void Drain();
  bool Decide(int64_t amount);
  // Asks on the terminal; false (return the bill) on "n", at the end of the
  // input or when the user interrupts.
  bool Ask(int64_t amount);
  enum class Input { kLine, kEnd, kInterrupted };
  // Reads one line from stdin unless the interrupt descriptor turns readable
  // first.
  Input ReadLine(std::string& line);
  void BillSettled();

  const EscrowPolicy policy_;
  Decider decider_;
  std::atomic<nv_driver*> driver_{nullptr};  // read by the callbacks too
  // The driver's bad frames and time-outs at the last link event (callbacks only).
  uint32_t bad_frames_seen_ = 0;
  uint32_t timeouts_seen_ = 0;
  bool keep_enabled_ = false;
  std::chrono::steady_clock::time_point last_enable_{};
  std::atomic<int64_t> credited_{0};
  std::atomic<int32_t> state_{-1};
  int interrupt_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::string input_;  // stdin read beyond the last answer
  std::atomic<int> stacked_{0};
  std::atomic<int> returned_{0};
  std::mutex queue_lock_;
  std::deque<std::string> queue_;  // guarded by queue_lock_
  mutable std::mutex settled_lock_;
  std::condition_variable settled_;
  int in_hand_ = 0;                          // guarded by settled_lock_
  std::map<int64_t, int> stacked_by_value_;  // guarded by settled_lock_
  nv_counters counters_{};                   // read by Stop()
  bool have_counters_ = false;
};

// Prints a line with the time of day; never onto a question's line.
void PrintLine(const std::string& text);

// "100" or "12.5": an amount in 1/10000 units as currency units.
std::string FormatAmount(int64_t amount);

// The line for a status word: "state 14 idling: <the Russian text>", with
// the sub-code after a dash when there is one ("state 80-04 escrow: ...").
std::string StateLine(int32_t word);

}  // namespace notavero::tool
