// A small host around the driver's C interface, shared by `notavero run` and
// `notavero demo`: it decides escrowed bills by a policy, prints every bill
// event and state change as it happens, and keeps the total credited.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "driver/notavero.h"

namespace notavero::tool {

enum class EscrowPolicy { kStack, kReturn, kAsk };

class Host {
 public:
  // Decides one escrowed bill (amount in 1/10000 units); true stacks it.
  // Used instead of the policy when set.
  using Decider = std::function<bool(int64_t amount)>;

  explicit Host(EscrowPolicy policy) : policy_(policy) {}
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Creates the driver on COM<port>; false (with the error printed) on failure.
  bool Start(uint8_t port);
  // Frees the driver; the callback is not called after it returns.
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

  // Prints a state change, if any, and renews the enable request when needed.
  // Call it regularly.
  void Watch();

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
  [[nodiscard]] std::string StatusText() const;  // UTF-8

 private:
  static int OnBill(int32_t kind, int64_t amount, void* user);
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
  nv_driver* driver_ = nullptr;
  bool keep_enabled_ = false;
  std::string last_status_;
  std::chrono::steady_clock::time_point last_enable_{};
  std::atomic<int64_t> credited_{0};
  int interrupt_fd_ = -1;
  std::string input_;  // stdin read beyond the last answer
  std::atomic<int> stacked_{0};
  std::atomic<int> returned_{0};
  mutable std::mutex settled_lock_;
  std::condition_variable settled_;
  int in_hand_ = 0;  // guarded by settled_lock_
};

// Prints a line with the time of day; never onto a question's line.
void PrintLine(const std::string& text);

// "100" or "12.5": an amount in 1/10000 units as currency units.
std::string FormatAmount(int64_t amount);

}  // namespace notavero::tool
