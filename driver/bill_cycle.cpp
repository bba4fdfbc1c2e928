#include "driver/bill_cycle.h"

#include <string>
#include <utility>

#include "common/hex.h"
#include "log/log_phrases.h"
#include "log/logger.h"
#include "protocol/codes.h"

namespace notavero {

namespace {

void AppendOutcome(std::string& line, const TOutcomeSeen& outcome) {
  AppendHex2(line, outcome.device_state);
  line += '-';
  AppendHex2(line, outcome.bill_type);
}

void LogOutcome(std::string_view phrase, const TOutcomeSeen& outcome) {
  std::string line(phrase);
  AppendOutcome(line, outcome);
  LogWrite(LogLevel::kInfo, line);
}

void LogBillType(std::string_view phrase, uint8_t bill_type) {
  std::string line(phrase);
  AppendHex2(line, bill_type);
  LogWrite(LogLevel::kInfo, line);
}

}  // namespace

// ---------------------------------------------------------------------------
// The hand-over between drivers

void THandOver::Leave(const std::string& device, const TOutcomeSeen& outcome) {
  const std::lock_guard lock(mutex_);
  left_.insert_or_assign(device, outcome);
}

std::optional<TOutcomeSeen> THandOver::Take(const std::string& device) {
  const std::lock_guard lock(mutex_);
  const auto found = left_.find(device);
  if (found == left_.end()) {
    return std::nullopt;
  }
  const TOutcomeSeen outcome = found->second;
  left_.erase(found);
  return outcome;
}

THandOver& THandOver::Process() {
  static auto* process = new THandOver;  // NOLINT(cppcoreguidelines-owning-memory): outlives every driver
  return *process;
}

// ---------------------------------------------------------------------------
// The cycle

void TBillCycle::Seen(uint8_t device_state) {
  if (device_state == dsAccepting || device_state == dsEscrow || device_state == dsStacked ||
      device_state == dsReturned) {
    unsettled_.store(true);
  }
}

void TBillCycle::Publish() {
  in_hand_.store(StackingInPlay() || (held_ && held_->device_state == dsStacked));
  unsettled_.store(bill_ || held_ || reported_ || last_state_ == dsEscrow || last_state_ == dsAccepting);
}

void TBillCycle::OnStatus(uint16_t status) {
  const bool hold_outcomes = HoldsOutcomes();
  const uint8_t device_state = DeviceStateOf(status);
  const uint8_t sub_code = SubCodeOf(status);

  // What the device shows now settles the reports of earlier polls.
  last_state_ = device_state;
  const bool outcome = device_state == dsStacked || device_state == dsReturned;
  const TOutcomeSeen seen{device_state, sub_code};
  if (held_ && !(outcome && seen == *held_)) {
    HeldVanished();
  }
  if (reported_ && !(outcome && seen == *reported_)) {
    reported_.reset();  // the device took the acknowledge
  }
  if (handed_over_ && !(outcome && seen == *handed_over_)) {
    handed_over_.reset();
  }

  bool requested_value = false;
  uint32_t request = 0;
  const bool request_pending = device_.TakeEnableRequest(requested_value, request);
  switch (device_state) {
    case dsPowerUp:
    case dsPowerUpWithBill:
    case dsPowerUpBillNoReturn:
      BillVanished();
      device_accepting_.store(false);
      accepting_ = false;
      device_.Reset();
      need_init_ = true;
      break;
    case dsInitializing:
      BillVanished();
      break;
    case dsDisabled:
      BillVanished();
      device_accepting_.store(false);
      accepting_ = false;
      if (need_init_) {
        LoadTable();
      }
      break;
    case dsWaitingForBill:
    case dsAccepting:
      BillVanished();
      device_accepting_.store(true);
      // Acceptance is on only when this driver's host asked for it, and only
      // once the table is known: the table is read in the disabled state, so
      // a device found accepting goes there first, whatever the host wants
      // (a standing request then turns acceptance on again).  A device found
      // accepting on a reopened port kept its power and acceptance: its table
      // is read where it stands (it may be another device), and the host's
      // acceptance goes on again with that table's masks, rather than off
      // under a customer's hand.
      if (device_state == dsWaitingForBill && need_init_ && reapply_enable_) {
        LoadTable();
      } else if (device_state == dsWaitingForBill && !accepting_ && (!request_pending || need_init_)) {
        LogWrite(LogLevel::kInfo,
                 request_pending ? phrase::kDisableForTable.str() : phrase::kUnaskedAcceptance.str());
        device_accepting_.store(device_.EnableBillTypes(false) != 0);
      }
      break;
    case dsEscrow:
      OnEscrow(sub_code);
      break;
    case dsStacked:
    case dsReturned:
      OnOutcome(device_state, sub_code, hold_outcomes);
      break;
    case dsBillError:
      bill_.reset();  // the device rejected it: its outcome is known
      break;
    default:
      break;
  }
  Publish();
  ApplyEnableRequest();
}

void TBillCycle::ApplyEnableRequest() {
  bool enable = false;
  uint32_t request = 0;
  if (!device_.TakeEnableRequest(enable, request)) {
    return;
  }
  if (enable && need_init_) {
    // The masks come from the table.  After a reset the old table would
    // enable the bill types before the device is read again (and it would
    // skip the disabled state where the table is read), so the request
    // waits for the table; so does a C host's first request.
    if (table_read_ || host_.StandingEnable()) {
      return;
    }
    // No table yet: the request is used up on all-zero masks.
    LogWrite(LogLevel::kInfo, phrase::kEnableBeforeTable.str());
  }
  const uint32_t mask = device_.EnableBillTypes(enable);
  device_accepting_.store(mask != 0);
  accepting_ = mask != 0;
  device_.EnableRequestDone(request);
}

void TBillCycle::LoadTable() {
  if (!device_.LoadTable()) {
    // Without its table the driver could credit nothing: it is read again
    // the next time the device reports that it is disabled.
    LogWrite(LogLevel::kInfo, phrase::kNoBillTable.str());
    return;
  }
  need_init_ = false;
  table_read_ = true;
  // A C host's request holds until withdrawn: after every reset it goes
  // again; a GetDriver host's goes again only after a reopened port.
  if (std::exchange(reapply_enable_, false) || host_.StandingEnable()) {
    device_.RestoreEnableRequest();
  }
}

void TBillCycle::PortReopened() {
  // A bill in play keeps its place: the device repeats its outcome until it
  // is acknowledged, and one still in escrow gets the host's decision again
  // (if the table gives it the same value).
  accepting_ = false;
  need_init_ = true;
  reapply_enable_ = true;
  if (bill_) {
    bill_->resend = true;
  }
}

void TBillCycle::BillVanished() {
  // A bill sent to the stacker that left without a stacked, returned or
  // rejected event: whether it went in is not known, so it is said.
  if (StackingInPlay()) {
    host_.Unconfirmed(bill_->bill_type, bill_->amount);
  }
  bill_.reset();
}

void TBillCycle::HeldVanished() {
  // The device showed a report that the driver kept for later, and has
  // dropped it unacknowledged (a power cut): a stacked bill is money that
  // nobody was told of.
  const TOutcomeSeen held = *held_;
  held_.reset();
  bill_.reset();  // its outcome is accounted for
  if (handed_over_ && *handed_over_ == held) {
    // The repeat of an outcome the driver before this one reported: the
    // device took its acknowledge after all.
    return;
  }
  if (held.device_state == dsStacked) {
    host_.Unconfirmed(held.bill_type, table_read_ ? device_.ValueOf(held.bill_type) : 0);
  } else {
    LogBillType(phrase::kReturnNotConfirmed, held.bill_type);
  }
}

void TBillCycle::OnEscrow(uint8_t bill_type) {
  first_bill_event_ = false;
  if (need_init_ && table_read_) {
    // The port was reopened with a bill in escrow: the device behind it may
    // be another one, and the bill is valued by its own table.
    LoadTable();
  }
  const CurrencyAmount amount = need_init_ ? 0 : device_.ValueOf(bill_type);
  if (bill_ && bill_->host_offered && bill_->resend && bill_->bill_type == bill_type &&
      bill_->amount == amount) {
    // The host decided on this bill before the line was lost, and the device
    // still holds it: the decision is carried out, not asked again.
    LogBillType(phrase::kDecisionAgain, bill_type);
    bill_->resend = false;
    bill_->sent = false;
    in_hand_.store(bill_->stacking);
    bill_->stacking ? device_.Stack() : device_.ReturnBill();
    bill_->sent = true;
    Publish();
    return;
  }
  if (amount == 0 || winding_down_.load()) {
    // Nobody could credit it: it goes back without asking the host.
    LogBillType(amount == 0 ? phrase::kUnknownEscrow.view() : phrase::kWindingDownEscrow.view(), bill_type);
    bill_ = TBillInPlay{bill_type, amount, false, false};
    device_.ReturnBill();
    bill_->sent = true;
    return;
  }
  const bool stack = host_.Escrow(amount, bill_type);
  bill_ = TBillInPlay{bill_type, amount, stack, true};
  in_hand_.store(stack);  // before the frame: a destruction from now on follows the bill
  stack ? device_.Stack() : device_.ReturnBill();
  bill_->sent = true;
  Publish();
}

void TBillCycle::OutcomeAfterRelease(const TOutcomeSeen& seen, bool unacknowledged, bool repeat) {
  if (repeat) {
    // Reported already; the device's repeat goes to the next driver with
    // this one's last report.
    LogOutcome(phrase::kRepeatedEvent, seen);
  } else if (unacknowledged) {
    // The device keeps it: the next driver on this device offers it.
    LogOutcome(phrase::kLeftWithDevice, seen);
  } else if (seen.device_state == dsStacked) {
    // Acknowledged by the poll already: only the log can still say it.
    host_.Unconfirmed(seen.bill_type, device_.ValueOf(seen.bill_type));
  }
  held_.reset();
  bill_.reset();
}

void TBillCycle::Repeated(const TOutcomeSeen& seen, bool unacknowledged) {
  LogOutcome(phrase::kRepeatedEvent, seen);
  first_bill_event_ = false;
  held_.reset();
  if (unacknowledged) {
    device_.Ack();
  }
  // This acknowledge may be lost as the first was: until a poll shows the
  // device took it, the outcome stays this driver's to hand over.
  reported_ = seen;
}

bool TBillCycle::TellOutcome(const TOutcomeSeen& seen) {
  // The host decided neither a first event nor a bill the driver returned
  // by itself: a host with a journal checks such an outcome against it.
  const bool decided = bill_.has_value();
  const bool foreign = !decided || !bill_->host_offered;
  const uint8_t bill_type = seen.bill_type;
  const CurrencyAmount amount = device_.ValueOf(bill_type);
  if (seen.device_state == dsStacked) {
    if (amount == 0) {
      LogBillType(phrase::kUnknownStacked, bill_type);
      host_.Unconfirmed(bill_type, 0);
      return true;
    }
    if (foreign) {
      host_.Notify(NV_EVENT_FOREIGN_OUTCOME, NV_BILL_STACKED);
    }
    // Counted before the host hears of it (a host may read the counters in
    // its callback), and taken back when the host could not record it.
    host_.CountBill(beStacked, bill_type, amount, 1);
    const bool recorded = host_.Outcome(beStacked, amount, bill_type);
    if (!recorded) {
      host_.CountBill(beStacked, bill_type, amount, -1);
    }
    return recorded;
  }
  // Returned: the host hears of bills it was offered, of a first one of
  // known value (for a new driver), and, when it takes events, of one the
  // driver sent back by itself before it knew the table (a bill of the run
  // before, which a journal closes with it).
  const bool tell = amount != 0 && (foreign ? (!decided || host_.TakesEvents()) : bill_->host_offered);
  host_.CountBill(beReturned, bill_type, amount, 1);
  if (!tell) {
    return true;
  }
  if (foreign) {
    host_.Notify(NV_EVENT_FOREIGN_OUTCOME, NV_BILL_RETURNED);
  }
  const bool recorded = host_.Outcome(beReturned, amount, bill_type);
  if (!recorded) {
    host_.CountBill(beReturned, bill_type, amount, -1);
  }
  return recorded;
}

void TBillCycle::NotRecorded(const TOutcomeSeen& seen) {
  // The device keeps the report, and the next poll offers it again.  Said
  // once for the report, however long the host takes.
  if (held_ != seen) {
    LogOutcome(phrase::kOutcomeNotRecorded, seen);
  }
  held_ = seen;
  Publish();
  // No acknowledge went out, and with it the pause that paces the polls:
  // the report is offered again at the device's usual pace, not flat out.
  device_.Pause();
}

void TBillCycle::OnOutcome(uint8_t device_state, uint8_t bill_type, bool unacknowledged) {
  const TOutcomeSeen seen{device_state, bill_type};
  if (need_init_) {
    // Not acknowledged: the device reports it again once the table gives its
    // value.  Until then it is held, and accounted for if it vanishes.
    held_ = seen;
    Publish();
    LoadTable();
    return;
  }
  // The report is in hand: it is finished even while the driver is being
  // destroyed.
  const TCycleDevice::TFinishing finishing(device_);
  // An outcome follows a bill this driver decided on, or, for a new driver,
  // is the first bill event it sees; any other is a repeat of one already
  // reported (its acknowledge was lost or came too late), and so is a first
  // event that repeats what the driver before this one on the device reported.
  const bool handed_over = handed_over_ && *handed_over_ == seen;
  handed_over_.reset();
  const bool expected = bill_.has_value() || (first_bill_event_ && !handed_over);
  if (host_.Gone()) {
    OutcomeAfterRelease(seen, unacknowledged, !expected);
    return;
  }
  if (!expected) {
    Repeated(seen, unacknowledged);
    return;
  }
  if (!TellOutcome(seen)) {
    NotRecorded(seen);
    return;
  }
  bill_.reset();
  first_bill_event_ = false;
  held_.reset();
  if (unacknowledged) {
    device_.Ack();
  }
  reported_ = seen;
}

std::optional<TOutcomeSeen> TBillCycle::End() {
  // A stacked report in hand, or a bill sent to the stacker without its
  // outcome: the device may keep it for the next driver, or lose it in a
  // power cut; this driver cannot know which, and says so.  A held report
  // that repeats the outcome handed over to this driver was reported
  // already.  A host that released the driver from its callback hears
  // nothing more: a report the device still holds is left to it, for the
  // next driver to offer.
  const bool repeat_held = held_ && handed_over_ && *held_ == *handed_over_;
  if (held_ && !repeat_held && host_.Gone()) {
    LogOutcome(phrase::kLeftWithDevice, *held_);
  } else if (held_ && held_->device_state == dsStacked && !repeat_held) {
    host_.Unconfirmed(held_->bill_type, table_read_ ? device_.ValueOf(held_->bill_type) : 0);
  } else if (StackingInPlay()) {
    host_.Unconfirmed(bill_->bill_type, bill_->amount);
  }
  in_hand_.store(false);
  unsettled_.store(false);
  // What the device may still repeat: this driver's last outcome, or the
  // one it was handed and never saw settled (a driver freed before its first
  // real poll must not lose it for the next one).
  return reported_ ? reported_ : handed_over_;
}

}  // namespace notavero
