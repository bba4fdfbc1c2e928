// The bill cycle: what the driver knows of the bill in play between polls
// and every decision about money it makes from a polled status word.  It has
// no thread, no clock and no line of its own: the polling thread hands it
// each status word, and it acts through two narrow interfaces, the device's
// commands (TCycleDevice) and the host (TCycleHost).
//
// A bill's road, as the states of the device the cycle meets:
//
//   escrow (80)        the host is asked (OnEscrow); the decision goes out
//                      as Stack or Return, and the bill is in play
//   stacked (81)       the outcome is told to the host, acknowledged and
//   returned (82)      remembered as reported until a poll shows the device
//                      took the acknowledge (OnOutcome); a report the host
//                      could not record, or that came before the table, is
//                      held unacknowledged and offered again
//   rejected (1C)      the device decided: nothing is in play any more
//   idle, disabled,    a bill sent to the stacker that left without its
//   power-up           outcome is unconfirmed (BillVanished); a held report
//                      the device dropped is too (HeldVanished)
//
// What a driver reported and never saw settled is handed over to the next
// driver on the same device (THandOver), which takes the device's repeat
// of it for what it is.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "driver/bill_table.h"
#include "driver/notavero_host.h"

namespace notavero {

// A stacked or returned report the driver has in hand but has not finished
// (not acknowledged, or acknowledged without a later poll to show that the
// device took the acknowledge).
struct TOutcomeSeen {
  uint8_t device_state = 0;
  uint8_t bill_type = 0;
  bool operator==(const TOutcomeSeen&) const = default;
};

// Outcomes that a driver reported to its host and acknowledged, with no
// later poll to show that the device took the acknowledge, by device (its
// identity, not the name it was opened by: a link and the device it names
// are one).  A driver that ends leaves its outcome here, or passes on the one
// it was left and never saw settled; the next driver on the same device takes
// the device's repeat of it for what it is, and does not report the bill a
// second time.  Drivers of one process share Process(); a test may give its
// drivers one of their own.
class THandOver {
 public:
  void Leave(const std::string& device, const TOutcomeSeen& outcome);
  std::optional<TOutcomeSeen> Take(const std::string& device);
  // The process's: never destroyed, since drivers may end during exit.
  static THandOver& Process();

 private:
  std::mutex mutex_;
  std::map<std::string, TOutcomeSeen, std::less<>> left_;
};

// The device's commands the cycle gives, and what the driver keeps for it.
// Each command raises EDriverFault when its exchange fails; the cycle then
// keeps its state and the next poll goes on from it.
class TCycleDevice {
 public:
  virtual void Ack() = 0;
  virtual void Reset() = 0;
  virtual void Stack() = 0;
  virtual void ReturnBill() = 0;
  // Status, bill table and security; false when the table did not come (the
  // driver's values are left as they were).
  virtual bool LoadTable() = 0;
  // The value of a bill type by the last table read; 0 when unknown.
  [[nodiscard]] virtual CurrencyAmount ValueOf(uint8_t bill_type) const = 0;
  // Sends the enable command for the table's bill types, or none; returns
  // the mask sent.
  virtual uint32_t EnableBillTypes(bool enable) = 0;
  // The host's pending acceptance request, if any: true with its value, and
  // its number for EnableRequestDone.
  virtual bool TakeEnableRequest(bool& value, uint32_t& request) = 0;
  virtual void EnableRequestDone(uint32_t request) = 0;
  // Asks for acceptance again, unless the host withdrew it or made a newer
  // request meanwhile.
  virtual void RestoreEnableRequest() = 0;
  // A report is in hand: from here until Finishing(false) the exchanges go
  // on even while the driver is being destroyed.
  virtual void Finishing(bool on) = 0;
  // Finishing for as long as it lives.
  class TFinishing {
   public:
    explicit TFinishing(TCycleDevice& device) : device_(device) { device_.Finishing(true); }
    ~TFinishing() { device_.Finishing(false); }
    TFinishing(const TFinishing&) = delete;
    TFinishing& operator=(const TFinishing&) = delete;

   private:
    TCycleDevice& device_;
  };
  // Waits the pause an acknowledge would have given the device (ends early
  // when the driver stops).
  virtual void Pause() = 0;

 protected:
  ~TCycleDevice() = default;
};

// The host, whichever callback it gave (see the adapters in exports.cpp),
// and the driver's books: counters and the unconfirmed list.
class TCycleHost {
 public:
  // A bill in escrow: true to stack it.
  virtual bool Escrow(CurrencyAmount amount, uint8_t bill_type) = 0;
  // A stacked or returned bill: false when the host could not record it.
  virtual bool Outcome(TBillEvent kind, CurrencyAmount amount, uint8_t bill_type) = 0;
  virtual void Notify(int32_t kind, int32_t code) = 0;
  // A bill whose outcome cannot be known: logged, listed and told.
  virtual void Unconfirmed(uint8_t bill_type, CurrencyAmount amount) = 0;
  // Counts a stacked (amount known) or returned bill; sign -1 takes it back.
  virtual void CountBill(TBillEvent kind, uint8_t bill_type, CurrencyAmount amount, int sign) = 0;
  // The host released the driver from its own callback: nothing reaches it
  // any more.
  [[nodiscard]] virtual bool Gone() const = 0;
  // The host takes events (foreign outcomes are then told even for a bill
  // the driver returned by itself).
  [[nodiscard]] virtual bool TakesEvents() const = 0;
  // The host records outcomes before the device is acknowledged
  // (NV_OPT_ACK_AFTER_CALLBACK).
  [[nodiscard]] virtual bool RecordsOutcomes() const = 0;
  // The host's acceptance request holds until withdrawn (the C interface).
  [[nodiscard]] virtual bool StandingEnable() const = 0;

 protected:
  ~TCycleHost() = default;
};

class TBillCycle {
 public:
  TBillCycle(TCycleDevice& device, TCycleHost& host) : device_(device), host_(host) {}

  // The outcome the driver before this one on the device left, if any.
  void Begin(std::optional<TOutcomeSeen> handed_over) { handed_over_ = handed_over; }
  // A stacked or returned report is left unacknowledged by the poll while
  // the table is unknown (its value is needed first) and, for a host that
  // records outcomes, until the host has recorded it.
  [[nodiscard]] bool HoldsOutcomes() const { return need_init_ || host_.RecordsOutcomes(); }
  // A poll showed this state, before it was acknowledged: a destruction from
  // now on lets the cycle settle what it shows.
  void Seen(uint8_t device_state);
  // One polled status word (acknowledged by the poll unless HoldsOutcomes
  // kept an outcome back).
  void OnStatus(uint16_t status);
  // The port was lost and is open again: the table is read again before any
  // bill is valued, and the host's acceptance goes on again after it.
  void PortReopened();
  // The driver ends: what it had in hand is reported, never dropped.
  // Returns what the next driver on the device must know of.
  std::optional<TOutcomeSeen> End();

  // For any thread.
  // Destruction from a host's thread: no new bill is offered to the host.
  void WindDown() { winding_down_.store(true); }
  [[nodiscard]] bool WindingDown() const { return winding_down_.load(); }
  // Something the device may still turn into money: a bill sent to the
  // stacker without its outcome, or a held stacked report.
  [[nodiscard]] bool InHand() const { return in_hand_.load(); }
  // Something a few more polls settle before the driver goes: a bill in play
  // or in escrow (a bill going in becomes one), a held report, an outcome
  // whose acknowledge no poll has confirmed yet.
  [[nodiscard]] bool Unsettled() const { return unsettled_.load(); }
  // Acceptance may be on in the device (the driver enabled it, or saw the
  // device waiting for a bill).
  [[nodiscard]] bool DeviceMayAccept() const { return device_accepting_.load(); }

 private:
  // The bill the driver last decided on, until the device reports its outcome.
  struct TBillInPlay {
    uint8_t bill_type = 0;
    CurrencyAmount amount = 0;
    bool stacking = false;      // sent to the stacker (else returned)
    bool host_offered = false;  // the host was asked about it
    bool sent = false;          // the decision's frame went out whole
    bool resend = false;        // the port was lost since: a bill still in escrow gets the decision again
  };

  void OnEscrow(uint8_t bill_type);
  // `unacknowledged`: the poll left the report for the driver to acknowledge.
  void OnOutcome(uint8_t device_state, uint8_t bill_type, bool unacknowledged);
  // The outcome of a bill the driver decided on, or a first one: told to
  // the host; false when the host could not record it.
  bool TellOutcome(const TOutcomeSeen& seen);
  void Repeated(const TOutcomeSeen& seen, bool unacknowledged);
  void NotRecorded(const TOutcomeSeen& seen);
  // An outcome the device reports after the host released the driver from
  // its callback: nobody hears of it any more.
  void OutcomeAfterRelease(const TOutcomeSeen& seen, bool unacknowledged, bool repeat);
  void LoadTable();
  void BillVanished();
  // A held report that the device no longer shows (a power cut took it).
  void HeldVanished();
  // Carries out an enable request, or leaves it waiting for the bill table.
  void ApplyEnableRequest();
  // A bill sent to the stacker whose outcome is still to come.
  [[nodiscard]] bool StackingInPlay() const { return bill_ && bill_->stacking && bill_->sent; }
  void Publish();

  TCycleDevice& device_;
  TCycleHost& host_;

  // Polling thread only.
  bool need_init_ = true;         // bill table and security still to load
  bool table_read_ = false;       // a bill table has been read since the driver started
  bool accepting_ = false;        // acceptance is on at the host's request
  bool first_bill_event_ = true;  // no escrow, stacked or returned event seen yet
  bool reapply_enable_ = false;   // the port was reopened: the host's enable goes again after init
  std::optional<TBillInPlay> bill_;
  // A report left unacknowledged for later: the table was not read yet, or
  // the host could not record it (NV_OUTCOME_RETRY).
  std::optional<TOutcomeSeen> held_;
  // The outcome last reported to the host, until a poll shows that the
  // device took its acknowledge; a driver that ends before leaves it to the
  // next driver on the same device, which must not report it again.
  std::optional<TOutcomeSeen> reported_;
  // Left by the driver that had this device before, for the first poll;
  // passed on again when this driver ends before the device settled it.
  std::optional<TOutcomeSeen> handed_over_;
  // The device state of the last poll that gave one.
  std::optional<uint8_t> last_state_;

  // Published for the host's threads (destruction).
  std::atomic<bool> winding_down_{false};
  std::atomic<bool> in_hand_{false};
  std::atomic<bool> unsettled_{false};
  std::atomic<bool> device_accepting_{false};
};

}  // namespace notavero
