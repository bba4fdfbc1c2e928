// One validator run by the driver (C interface, nv_open), as the service
// sees it: its events become journal rows and messages, and each bill in
// escrow waits a bounded time for one client's decision on the driver's
// polling thread.
//
// The driver is opened with NV_OPT_ACK_AFTER_CALLBACK: a stacked or returned
// report is acknowledged to the device only after its row is committed.
// When the commit fails the outcome goes to the journal's fallback file, the
// clients get a "pending" message, and the callback asks the driver to offer
// it again (NV_OUTCOME_RETRY), until the journal takes it.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "driver/notavero.h"
#include "service/cassette.h"
#include "service/commands.h"
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

class Validator final : public Device {
 public:
  Validator(ValidatorConfig config, Journal& journal, EventSink& sink,
            std::chrono::milliseconds escrow_timeout, bool enable_at_start);
  ~Validator();
  Validator(const Validator&) = delete;
  Validator& operator=(const Validator&) = delete;

  // How long Close waits for the outcome of a bill the device holds.
  static constexpr auto kOutcomeWait = std::chrono::seconds(5);

  // Opens the port and starts the driver.  A port that cannot be opened (an
  // adapter not plugged in yet) leaves the validator absent, which is said
  // on stderr and in its link ("port lost"), and false is returned: the other
  // validators run, and OpenIfAbsent opens this one once it is there.
  bool Open();
  // Opens an absent validator's port again; called about once a second on
  // the service's thread.  Does nothing once the validator closes.
  void OpenIfAbsent();
  // Takes no more bills: acceptance off, a waiting escrow is answered
  // "return" (by "closing").  Returns at once.
  void BeginClose();
  // BeginClose, then waits (up to kOutcomeWait) for the outcome of a bill
  // the device holds, stops the driver, and journals a bill whose outcome
  // did not come as unconfirmed.
  void Close();

  [[nodiscard]] const std::string& Name() const override { return config_.name; }
  // The clients' wish; acceptance is on when they want it and the journal
  // works.
  void SetEnabled(bool enabled) override;
  // Tells the driver what acceptance should be now (after the journal
  // failed or recovered).
  void ApplyAcceptance();

  // A client's decision for the escrow event escrow_id.  Waits until the
  // decision is journaled: kTaken then, kNotJournaled (with the reason in
  // why) when it could not be and the bill is returned; kNoBill when this
  // validator has no such bill waiting (unknown id, decided, timed out).
  Decision Decide(int64_t escrow_id, bool stack, DecisionDone done) override;

  [[nodiscard]] ValidatorSnapshot Snapshot() const;
  [[nodiscard]] CassetteContent CassetteNow() const { return cassette_.Content(); }
  // {"type":"status","device":...} with state, texts, link, counters and
  // the journal's health, flat.
  [[nodiscard]] std::string StatusJson() const override;

 private:
  // A bill the device holds: from its escrow until its outcome is known.
  struct InPlay {
    int64_t amount = 0;
    int32_t bill_type = -1;
  };

  static int OnBill(const nv_bill* bill, void* user);
  static void OnEvent(int32_t kind, int32_t code, void* user);
  int Escrow(int64_t amount, int32_t bill_type);
  int Outcome(int32_t kind, int64_t amount, int32_t bill_type);
  // An outcome that could not be journaled: to the fallback file and the
  // clients once, and the driver offers it again.
  int Pending(const BillEvent& event, const std::string& reason);
  void Unconfirmed(int32_t bill_type, int64_t amount, const std::string& detail, std::string key = {});
  // NV_EVENT_UNCONFIRMED: a bill of this type whose report the device lost.
  void UnconfirmedByDriver(int32_t bill_type);
  // The device reached a state that holds no bill: an earlier run's stacked
  // bill that it did not report is journaled unconfirmed.
  void NothingHeld();
  // Journals and publishes a row that may wait: while the journal fails it
  // is queued (and written to the fallback file) for the probe to write.
  void RecordOrQueue(BillEvent event);
  void BillDone();
  void Learn(int32_t bill_type, int64_t amount);
  [[nodiscard]] std::string FallbackLine(const BillEvent& event, const std::string& reason) const;

  // nv_open; false (said once per reason) when it fails.
  bool OpenDriver();

  ValidatorConfig config_;
  std::mutex open_mutex_;   // an open under way, against Close
  std::string open_error_;  // why the last open failed (under open_mutex_)
  Journal& journal_;
  EventSink& sink_;
  const std::chrono::milliseconds escrow_timeout_;
  std::atomic<nv_driver*> driver_{nullptr};
  std::atomic<bool> want_enabled_;

  // The polling thread's own (callbacks only).
  // Each bill type's value as the bill callbacks gave it (0: not seen yet):
  // NV_EVENT_UNCONFIRMED gives only the type.
  std::array<int64_t, 24> value_of_type_{};
  // NV_BILL_STACKED or NV_BILL_RETURNED: the driver announced the next
  // outcome as decided before this run; kept until it is journaled.
  std::optional<int32_t> foreign_;
  // The outcome being offered again because the journal did not take it
  // (with the key of its line in the fallback file).
  std::optional<BillEvent> pending_;
  // The device's last escrow, decided stack by an earlier run, without an
  // outcome journaled: settled by the device's next report, or journaled
  // unconfirmed when the device shows it holds none.  Set before the driver
  // starts.
  std::optional<BillEvent> unsettled_;

  mutable std::mutex mutex_;
  std::condition_variable decided_;  // a client's claim, and the journaled decision
  std::condition_variable bill_done_;
  int64_t waiting_id_ = 0;     // the escrow that waits for a decision
  std::optional<bool> claim_;  // a client's decision for it (stack?)
  DecisionDone claimed_by_;    // told how the client's claim ended
  std::optional<InPlay> in_play_;
  bool closing_ = false;
  ValidatorSnapshot figures_;  // the service's own counts (stacked_by_value, ...)
  Cassette cassette_;          // what the cassette holds; journals its collection
};

}  // namespace notavero::service
