// One validator run by the driver (C interface, nv_open), as the service
// sees it: its events become journal rows and messages, and each bill in
// escrow waits a bounded time for one client's decision on the driver's
// polling thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "driver/notavero.h"
#include "service/config.h"
#include "service/journal.h"
#include "service/metrics.h"

namespace notavero::service {

// Where a validator's messages go.  Called on the driver's thread: must not
// block.
class EventSink {
 public:
  // A message for every client that said hello; journal_id is the bill
  // event's id (0 for other messages), so that a replay and the live stream
  // never give a client the same event twice.
  virtual void Publish(std::string message, int64_t journal_id) = 0;
  // Runs work on the service's own thread, later.
  virtual void Post(std::function<void()> work) = 0;
  // Clients that can decide on a bill now (said hello with the token).
  [[nodiscard]] virtual int Deciders() const = 0;

 protected:
  ~EventSink() = default;
};

class Validator {
 public:
  Validator(ValidatorConfig config, Journal& journal, EventSink& sink,
            std::chrono::milliseconds escrow_timeout, bool enable_at_start);
  ~Validator();
  Validator(const Validator&) = delete;
  Validator& operator=(const Validator&) = delete;

  // Opens the port and starts the driver; throws std::runtime_error (UTF-8).
  void Open();
  // Ends a waiting escrow (the bill is returned) and stops the driver.
  void Close();

  [[nodiscard]] const std::string& Name() const { return config_.name; }
  void SetEnabled(bool enabled);
  // A client's decision for the escrow event escrow_id; false when this
  // validator has no such bill waiting (unknown id, decided, timed out).
  bool Decide(int64_t escrow_id, bool stack);

  [[nodiscard]] ValidatorSnapshot Snapshot() const;
  // {"type":"status","device":...} with state, texts, link and counters, flat.
  [[nodiscard]] std::string StatusJson() const;

 private:
  static int OnBill(int32_t kind, int64_t amount, void* user);
  static void OnEvent(int32_t kind, int32_t code, void* user);
  int Escrow(int64_t amount);
  void Outcome(const char* kind, int64_t amount);
  void Record(BillEvent event);

  ValidatorConfig config_;
  Journal& journal_;
  EventSink& sink_;
  const std::chrono::milliseconds escrow_timeout_;
  std::atomic<nv_driver*> driver_{nullptr};
  // The last status word the driver reported (polling thread only): a bill
  // callback follows the state event of the same poll, whose sub-code is the
  // bill's type.
  int32_t last_word_ = -1;
  [[nodiscard]] int32_t BillTypeOf(uint8_t bill_state) const;
  std::atomic<bool> want_enabled_;

  mutable std::mutex mutex_;
  std::condition_variable decided_;
  int64_t pending_id_ = 0;
  std::optional<bool> decision_;
  bool closing_ = false;
  ValidatorSnapshot figures_;  // the service's own counts (stacked_by_value, ...)
};

}  // namespace notavero::service
