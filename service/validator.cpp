#include "service/validator.h"

#include <array>
#include <chrono>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "common/clock.h"
#include "common/hex.h"
#include "protocol/codes.h"
#include "service/messages.h"

namespace notavero::service {

namespace {

// A status word as people read it everywhere else (the driver's log, the
// docs, notavero state): the state byte, then the sub-code, in hex ("1C-68");
// "" before the first poll.
std::string StatusCode(int32_t word) {
  if (word < 0) {
    return {};
  }
  std::string code;
  AppendHex2(code, DeviceStateOf(static_cast<uint16_t>(word)));
  code += '-';
  AppendHex2(code, SubCodeOf(static_cast<uint16_t>(word)));
  return code;
}

// The UTF-8 text of a status word ("" for -1, before the first poll).
std::string StateText(int32_t word) {
  std::array<char, 256> text{};
  nv_state_text_utf8(word, text.data(), text.size());
  return text.data();
}

// States in which the device holds no bill.
bool HoldsNoBill(int32_t word) {
  const uint8_t state = DeviceStateOf(static_cast<uint16_t>(word));
  return state == dsWaitingForBill || state == dsDisabled;
}

}  // namespace

Validator::Validator(ValidatorConfig config, Journal& journal, EventSink& sink,
                     std::chrono::milliseconds escrow_timeout, bool enable_at_start)
    : config_(std::move(config)),
      journal_(journal),
      sink_(sink),
      escrow_timeout_(escrow_timeout),
      want_enabled_(enable_at_start),
      cassette_(config_.name) {
  figures_.name = config_.name;
}

Validator::~Validator() {
  Close();
}

bool Validator::Open() {
  cassette_.Restore(journal_.Path());
  // A bill sent to the stacker by an earlier run and never reported: this
  // run's driver asks the device, and what it holds settles it.
  unsettled_ = journal_.StackWithoutOutcome(config_.name);
  const std::scoped_lock lock(open_mutex_);
  return OpenDriver();
}

void Validator::OpenIfAbsent() {
  const std::scoped_lock lock(open_mutex_);
  if (driver_.load() != nullptr) {
    return;
  }
  {
    const std::scoped_lock closing(mutex_);
    if (closing_) {
      return;
    }
  }
  if (OpenDriver()) {
    std::cerr << "notavero-serve: " << config_.name << ": the port is open now" << std::endl;
  }
}

bool Validator::OpenDriver() {
  nv_options options{};
  options.size = sizeof options;
  options.port = static_cast<uint8_t>(config_.port);
  options.device = config_.path.empty() ? nullptr : config_.path.c_str();
  options.on_bill_ex = &Validator::OnBill;
  options.on_event = &Validator::OnEvent;
  options.user = this;
  // The device forgets an outcome only once the journal holds it.
  options.flags = NV_OPT_ACK_AFTER_CALLBACK | NV_OPT_UTF8_ERROR;
  std::array<char, 256> error{};
  nv_driver* driver = nv_open(&options, error.data(), error.size());
  if (driver == nullptr) {
    if (open_error_ != error.data()) {
      open_error_ = error.data();
      std::cerr << "notavero-serve: " << config_.name << ": " << open_error_
                << " (the other validators run; this one is opened as soon as it is there)" << std::endl;
    }
    return false;
  }
  open_error_.clear();
  driver_.store(driver);
  if (want_enabled_.load()) {
    ApplyAcceptance();
  }
  return true;
}

void Validator::BeginClose() {
  {
    const std::scoped_lock lock(mutex_);
    closing_ = true;
  }
  decided_.notify_all();
  ApplyAcceptance();
}

void Validator::Close() {
  BeginClose();
  {
    const std::scoped_lock opened(open_mutex_);  // an open under way has stored its driver
  }
  if (driver_.load() == nullptr) {
    return;
  }
  // A bill in escrow gets its Return now; the device then reports the
  // outcome, which is journaled before the driver goes.
  {
    std::unique_lock lock(mutex_);
    bill_done_.wait_for(lock, kOutcomeWait, [this] { return !in_play_; });
  }
  if (nv_driver* driver = driver_.exchange(nullptr)) {
    nv_free_driver(driver);  // waits for a callback that is running
  }
  std::optional<InPlay> lost;
  {
    const std::scoped_lock lock(mutex_);
    lost = std::exchange(in_play_, std::nullopt);
  }
  if (lost) {
    // Never claim an outcome the device did not report.
    Unconfirmed(lost->bill_type, lost->amount, std::string(kNoOutcomeBeforeStop));
  }
}

void Validator::SetEnabled(bool enabled) {
  want_enabled_.store(enabled);
  ApplyAcceptance();
}

void Validator::ApplyAcceptance() {
  bool on = want_enabled_.load() && !journal_.Failing();
  {
    const std::scoped_lock lock(mutex_);
    on = on && !closing_;
  }
  nv_set_enabled(driver_.load(), on ? 1 : 0);
}

Validator::Decision Validator::Decide(int64_t escrow_id, bool stack, DecisionDone done) {
  {
    const std::scoped_lock lock(mutex_);
    if (escrow_id != waiting_id_ || claim_) {
      return Decision::kNoBill;
    }
    claim_ = stack;
    claimed_by_ = std::move(done);
  }
  decided_.notify_all();
  return Decision::kPending;
}

int Validator::OnBill(const nv_bill* bill, void* user) {
  auto* self = static_cast<Validator*>(user);
  const int32_t kind = bill->kind;
  try {
    switch (kind) {
      case NV_BILL_ESCROW:
        return self->Escrow(bill->amount, bill->bill_type);
      case NV_BILL_STACKED:
      case NV_BILL_RETURNED:
        return self->Outcome(kind, bill->amount, bill->bill_type);
      default:
        break;
    }
  } catch (const std::exception& error) {
    // Nothing escapes into the driver.  A bill in escrow is returned; an
    // outcome stays with the device, to be offered again.
    std::cerr << "notavero-serve: " << self->Name() << ": " << error.what() << std::endl;
    return kind == NV_BILL_ESCROW ? 0 : NV_OUTCOME_RETRY;
  }
  return 0;
}

void Validator::Learn(int32_t bill_type, int64_t amount) {
  if (bill_type >= 0 && static_cast<std::size_t>(bill_type) < value_of_type_.size() && amount > 0) {
    value_of_type_[static_cast<std::size_t>(bill_type)] = amount;
  }
}

void Validator::BillDone() {
  {
    const std::scoped_lock lock(mutex_);
    in_play_.reset();
  }
  bill_done_.notify_all();
}

std::string Validator::FallbackLine(const BillEvent& event, const std::string& reason) const {
  JsonObject line;
  line.Add("key", event.key)
      .Add("time", event.time_ms)
      .Add("device", config_.name)
      .Add("kind", event.kind.Text());
  line.Add("amount", event.amount).Add("bill_type", event.code);
  if (!event.detail.empty()) {
    line.Add("detail", event.detail);
  }
  return line.Add("journaled", false).Add("reason", reason).Text();
}

int Validator::Escrow(int64_t amount, int32_t bill_type) {
  // A new bill: whatever was offered again before is gone.
  foreign_.reset();
  pending_.reset();
  if (unsettled_) {
    // The device offers a bill before it reported anything of the earlier
    // run's: that run's Stack never reached it, and this escrow is the bill.
    std::cerr << "notavero-serve: " << config_.name << ": escrow #" << unsettled_->id
              << " (decided stack before a restart) is offered again by the device as a new escrow"
              << std::endl;
    unsettled_.reset();
  }
  BillEvent event;
  event.device = config_.name;
  event.kind = RowKind::kEscrow;
  event.amount = amount;
  event.code = bill_type;
  event.time_ms = NowMs();
  Learn(bill_type, amount);
  {
    const std::scoped_lock lock(mutex_);
    in_play_ = InPlay{amount, bill_type};
    if (closing_) {
      event.decision = BillDecision::kReturn;
      event.detail = TermText(DecidedBy::kClosing);
    } else if (sink_.Deciders() == 0) {
      event.decision = BillDecision::kReturn;
      event.detail = TermText(DecidedBy::kNoClient);
      ++figures_.escrows_without_client;
    }
  }
  try {
    journal_.ThrowIfFailing();
    event.id = journal_.Append(event);
  } catch (const JournalError& error) {
    // Never stack a bill the journal does not hold.
    std::cerr << "notavero-serve: " << config_.name << ": a bill of " << AmountText(amount)
              << " is returned: its escrow cannot be journaled: " << error.what() << std::endl;
    return 0;
  }
  if (event.decision != BillDecision::kNone) {
    sink_.Publish(BillEventJson(event, journal_.Identity()), event.id);
    return 0;
  }
  std::unique_lock lock(mutex_);
  waiting_id_ = event.id;
  claim_.reset();
  lock.unlock();
  sink_.Publish(BillEventJson(event, journal_.Identity()), event.id);
  lock.lock();
  decided_.wait_for(lock, escrow_timeout_, [this] { return claim_.has_value() || closing_; });
  bool stack = claim_.value_or(false);
  DecidedBy by = claim_ ? DecidedBy::kClient : closing_ ? DecidedBy::kClosing : DecidedBy::kTimeout;
  if (!claim_ && !closing_) {
    ++figures_.escrow_timeouts;
  }
  waiting_id_ = 0;
  claim_.reset();
  lock.unlock();
  // The decision is journaled before the device hears it.
  std::string why;
  try {
    journal_.ThrowIfFailing();
    journal_.SetDecision(event.id, stack ? BillDecision::kStack : BillDecision::kReturn, by);
  } catch (const JournalError& error) {
    why = error.what();
    stack = false;
    by = DecidedBy::kJournalError;
    const std::string key = Journal::NewKey();
    journal_.QueueDecision(event.id, BillDecision::kReturn, by, key);
    journal_.WriteFallback(JsonObject()
                               .Add("key", key)
                               .Add("time", NowMs())
                               .Add("device", config_.name)
                               .Add("kind", Journal::kDecisionLine)
                               .Add("id", event.id)
                               .Add("decision", TermText(BillDecision::kReturn))
                               .Add("by", TermText(by))
                               .Add("journaled", false)
                               .Add("reason", why)
                               .Text());
  }
  lock.lock();
  DecisionDone claimed_by = std::move(claimed_by_);
  claimed_by_ = nullptr;
  lock.unlock();
  if (claimed_by) {  // the client hears how its claim ended, before the decision's message
    const bool taken = by == DecidedBy::kClient;
    std::string refusal =
        taken ? std::string() : "the decision could not be journaled (" + why + "): the bill is returned";
    sink_.Post([claimed_by = std::move(claimed_by), taken, refusal = std::move(refusal)] {
      claimed_by(taken ? Decision::kTaken : Decision::kNotJournaled, refusal);
    });
  }
  JsonObject decision;
  decision.Add("type", "decision").Add("id", event.id).Add("device", config_.name);
  decision.Add("decision", TermText(stack ? BillDecision::kStack : BillDecision::kReturn))
      .Add("by", TermText(by));
  if (!why.empty()) {
    decision.Add("reason", why);
  }
  sink_.Publish(decision.Text(), 0);
  return stack ? 1 : 0;
}

int Validator::Outcome(int32_t kind, int64_t amount, int32_t bill_type) {
  const bool stacked = kind == NV_BILL_STACKED;
  BillEvent outcome;
  outcome.device = config_.name;
  outcome.kind = stacked ? RowKind::kStacked : RowKind::kReturned;
  outcome.amount = amount;
  outcome.code = bill_type;
  outcome.time_ms = NowMs();
  Learn(bill_type, amount);
  const bool foreign = foreign_ == kind;
  if (pending_ && pending_->kind == outcome.kind && pending_->amount == amount) {
    // Offered again: the row takes the key of its line in the fallback file,
    // which a replay may have applied already.
    outcome.key = pending_->key;
  }
  BillEvent row;
  bool replayed = false;  // the fallback file's replay journaled (and published) it
  try {
    journal_.ThrowIfFailing();
    // A foreign outcome was decided before this run: maybe journaled already,
    // by a run that ended before the device took its acknowledge.
    row = journal_.RecordOutcome(outcome, foreign, &replayed);
  } catch (const JournalError& error) {
    if (foreign) {
      outcome.detail = "foreign";
    }
    return Pending(outcome, error.what());
  }
  foreign_.reset();
  unsettled_.reset();
  pending_.reset();
  if (row.kind == RowKind::kStacked) {
    if (ResolvedId(row) != 0) {
      cassette_.Resolved(amount);  // counted as unconfirmed already
    }
    cassette_.Stacked(amount);
    const std::scoped_lock lock(mutex_);
    ++figures_.stacked_by_value[AmountText(amount)];
    figures_.stacked_amount += amount;
  }
  if (!replayed) {
    sink_.Publish(BillEventJson(row, journal_.Identity()), row.id);
  }
  BillDone();
  sink_.Post([this] { sink_.Publish(StatusJson(), 0); });
  return 0;
}

int Validator::Pending(const BillEvent& event, const std::string& reason) {
  const bool first = !pending_ || pending_->kind != event.kind || pending_->amount != event.amount;
  if (first) {
    pending_ = event;
    pending_->key = Journal::NewKey();
    // The fallback file holds it now: its line is journaled later, by this
    // run or by the next start.
    unsettled_.reset();
    journal_.MarkFailing(reason);
    journal_.WriteFallback(FallbackLine(*pending_, reason));
    // Its own type: a client that credits every "stacked" cannot credit this
    // one twice.  The journaled row comes as "stacked" once the journal
    // takes it.
    JsonObject message;
    message.Add("type", "pending").Add("kind", event.kind.Text()).Add("device", config_.name);
    message.Add("time", event.time_ms).Add("amount", event.amount).Add("bill_type", event.code);
    if (event.detail == "foreign") {
      message.Add("foreign", true);
    }
    message.Add("durable", false).Add("reason", reason);
    sink_.Publish(message.Text(), 0);
    // Its outcome is known; the device keeps the report until the journal
    // takes it (or the next run's driver offers it).
    BillDone();
  }
  return NV_OUTCOME_RETRY;
}

void Validator::RecordOrQueue(BillEvent event) {
  event.device = config_.name;
  event.time_ms = NowMs();
  if (!journal_.Failing()) {
    try {
      event.id = journal_.Append(event);
      sink_.Publish(BillEventJson(event, journal_.Identity()), event.id);
      return;
    } catch (const JournalError&) {
    }
  }
  // The probe writes it (and publishes it) once the journal works again; the
  // key keeps the fallback file's replay from writing it a second time.
  if (event.key.empty()) {
    event.key = Journal::NewKey();
  }
  journal_.WriteFallback(FallbackLine(event, journal_.Health().error));
  if (!journal_.Queue(event)) {
    std::cerr << "notavero-serve: " << config_.name << ": the journal's queue is full: a "
              << event.kind.Text() << " event is only in " << journal_.FallbackPath() << std::endl;
  }
}

void Validator::Unconfirmed(int32_t bill_type, int64_t amount, const std::string& detail, std::string key) {
  BillEvent event;
  event.kind = RowKind::kUnconfirmed;
  event.code = bill_type;
  event.amount = amount;
  event.detail = detail;
  event.key = std::move(key);
  cassette_.Unconfirmed(amount);
  RecordOrQueue(std::move(event));
  BillDone();
}

void Validator::OnEvent(int32_t kind, int32_t code, void* user) {
  auto* self = static_cast<Validator*>(user);
  try {
    switch (kind) {
      case NV_EVENT_STATE:
        self->sink_.Publish(JsonObject()
                                .Add("type", "state")
                                .Add("device", self->config_.name)
                                .Add("word", int64_t{code})
                                .Add("code", StatusCode(code))
                                .Add("state", nv_state_name(code))
                                .Add("text", StateText(code))
                                .Text(),
                            0);
        if (HoldsNoBill(code)) {
          self->NothingHeld();
          self->BillDone();
        }
        if (auto row = self->cassette_.State(code, NowMs())) {
          self->RecordOrQueue(std::move(*row));
        }
        break;
      case NV_EVENT_LINK:
        self->sink_.Publish(JsonObject()
                                .Add("type", "link")
                                .Add("device", self->config_.name)
                                .Add("link", nv_link_name(code))
                                .Text(),
                            0);
        break;
      case NV_EVENT_REJECTED: {
        BillEvent event;
        event.kind = RowKind::kRejected;
        event.code = code;
        event.detail = nv_reject_reason_name(code);
        self->RecordOrQueue(std::move(event));
        self->sink_.Post([self] { self->sink_.Publish(self->StatusJson(), 0); });
        break;
      }
      case NV_EVENT_UNCONFIRMED: {
        // The device lost the report: nothing more will be offered for it.
        self->foreign_.reset();
        self->UnconfirmedByDriver(code);
        break;
      }
      case NV_EVENT_FOREIGN_OUTCOME:
        self->foreign_ = code;
        break;
      default:
        break;
    }
  } catch (const std::exception& error) {
    std::cerr << "notavero-serve: " << self->Name() << ": " << error.what() << std::endl;
  }
}

void Validator::NothingHeld() {
  if (!unsettled_) {
    return;
  }
  const BillEvent escrow = *std::exchange(unsettled_, std::nullopt);
  // Never claim an outcome the device did not report, never drop the bill.
  Unconfirmed(
      static_cast<int32_t>(escrow.code), escrow.amount,
      "escrow #" + std::to_string(escrow.id) +
          " was decided stack before a restart, and the device held no report of it when this run asked "
          "(a power cut?): whether it went in is not known");
}

void Validator::UnconfirmedByDriver(int32_t bill_type) {
  // The event gives the type only: the amount is the bill's that the service
  // knows of (this one in play, a report offered again, an earlier run's
  // stack), else the device's last escrow of that type.
  int64_t amount = 0;
  std::string key;
  std::string detail;
  {
    const std::scoped_lock lock(mutex_);
    if (in_play_ && in_play_->bill_type == bill_type) {
      amount = in_play_->amount;
    }
  }
  if (pending_ && pending_->code == bill_type) {
    // Its line in the fallback file becomes this row, never a second one.
    amount = pending_->amount;
    key = pending_->key;
  }
  pending_.reset();
  if (unsettled_ && unsettled_->code == bill_type) {
    amount = amount != 0 ? amount : unsettled_->amount;
    detail = "escrow #" + std::to_string(unsettled_->id) + " of an earlier run";
    unsettled_.reset();
  }
  if (amount == 0) {
    try {
      amount = journal_.LastEscrowAmount(config_.name, bill_type);
    } catch (const JournalError&) {
    }
  }
  if (amount == 0 && bill_type >= 0 && static_cast<std::size_t>(bill_type) < value_of_type_.size()) {
    amount = value_of_type_[static_cast<std::size_t>(bill_type)];
  }
  Unconfirmed(bill_type, amount, detail, std::move(key));
}

ValidatorSnapshot Validator::Snapshot() const {
  ValidatorSnapshot snapshot;
  {
    const std::scoped_lock lock(mutex_);
    snapshot = figures_;
  }
  nv_driver* driver = driver_.load();
  snapshot.word = nv_get_state(driver);
  snapshot.link = driver != nullptr ? nv_get_link(driver) : NV_LINK_PORT_LOST;  // absent: not there yet
  snapshot.enabled = nv_get_enabled(driver) != 0;
  snapshot.counters.size = sizeof snapshot.counters;
  snapshot.has_counters = nv_get_counters(driver, &snapshot.counters) == 0;
  return snapshot;
}

std::string Validator::StatusJson() const {
  const ValidatorSnapshot s = Snapshot();
  const nv_counters& c = s.counters;
  int64_t stacked = 0;
  for (const uint32_t count : c.stacked) {
    stacked += count;
  }
  JsonObject status;
  status.Add("type", "status")
      .Add("device", s.name)
      .Add("word", int64_t{s.word})
      .Add("code", StatusCode(s.word))
      .Add("state", s.word < 0 ? "unknown" : nv_state_name(s.word))
      .Add("text", StateText(s.word))
      .Add("link", nv_link_name(s.link))
      .Add("enabled", s.enabled)
      .Add("stacked", stacked)
      .Add("stacked_amount", int64_t{c.stacked_amount});
#define NV_COUNT_JSON_(field, metric, help) status.Add(#field, int64_t{c.field});
  NV_COUNTER_LIST(NV_COUNT_JSON_)
#undef NV_COUNT_JSON_
  return status.Add("last_answer_ms", int64_t{c.last_answer_ms})
      .AddRaw("journal", JournalHealthJson(journal_.Health()))
      .Text();
}

}  // namespace notavero::service
