#include "service/validator.h"

#include <array>
#include <chrono>
#include <iostream>
#include <stdexcept>
#include <utility>

#include "common/cp1251.h"
#include "driver/state_text.h"
#include "service/messages.h"

namespace notavero::service {

namespace {

constexpr int32_t kStateDisabled = 0x19;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

Validator::Validator(ValidatorConfig config, Journal& journal, EventSink& sink,
                     std::chrono::milliseconds escrow_timeout, bool enable_at_start)
    : config_(std::move(config)),
      journal_(journal),
      sink_(sink),
      escrow_timeout_(escrow_timeout),
      want_enabled_(enable_at_start) {
  figures_.name = config_.name;
}

Validator::~Validator() {
  Close();
}

void Validator::Open() {
  nv_options options{};
  options.size = sizeof options;
  options.port = static_cast<uint8_t>(config_.port);
  options.device = config_.path.empty() ? nullptr : config_.path.c_str();
  options.on_bill = &Validator::OnBill;
  options.on_event = &Validator::OnEvent;
  options.user = this;
  std::array<char, 256> error{};
  nv_driver* driver = nv_open(&options, error.data(), error.size());
  if (driver == nullptr) {
    throw std::runtime_error(config_.name + ": " + Cp1251ToUtf8(error.data()));
  }
  driver_.store(driver);
  if (want_enabled_.load()) {
    nv_set_enabled(driver, 1);
  }
}

void Validator::Close() {
  {
    const std::scoped_lock lock(mutex_);
    closing_ = true;
  }
  decided_.notify_all();
  if (nv_driver* driver = driver_.exchange(nullptr)) {
    nv_free_driver(driver);
  }
}

void Validator::SetEnabled(bool enabled) {
  want_enabled_.store(enabled);
  nv_set_enabled(driver_.load(), enabled ? 1 : 0);
}

bool Validator::Decide(int64_t escrow_id, bool stack) {
  {
    const std::scoped_lock lock(mutex_);
    if (escrow_id != pending_id_ || decision_) {
      return false;
    }
    decision_ = stack;
  }
  decided_.notify_all();
  return true;
}

int Validator::OnBill(int32_t kind, int64_t amount, void* user) {
  auto* self = static_cast<Validator*>(user);
  try {
    switch (kind) {
      case NV_BILL_ESCROW:
        return self->Escrow(amount);
      case NV_BILL_STACKED:
        self->Outcome("stacked", amount);
        break;
      case NV_BILL_RETURNED:
        self->Outcome("returned", amount);
        break;
      default:
        break;
    }
  } catch (const std::exception& error) {
    // Nothing escapes into the driver; a bill that cannot be journaled is
    // never stacked (Escrow returns it before it offers it).
    std::cerr << "notavero-serve: " << self->Name() << ": " << error.what() << std::endl;
  }
  return 0;
}

void Validator::Record(BillEvent event) {
  event.device = config_.name;
  event.time_ms = NowMs();
  event.id = journal_.Append(event);
  sink_.Publish(BillEventJson(event), event.id);
}

int32_t Validator::BillTypeOf(uint8_t bill_state) const {
  return last_word_ >= 0 && (last_word_ & 0xFF) == bill_state ? (last_word_ >> 8) & 0xFF : -1;
}

int Validator::Escrow(int64_t amount) {
  BillEvent event;
  event.device = config_.name;
  event.kind = "escrow";
  event.amount = amount;
  event.code = BillTypeOf(0x80);
  event.time_ms = NowMs();
  {
    const std::scoped_lock lock(mutex_);
    if (closing_ || sink_.Deciders() == 0) {
      event.decision = "return";
      event.detail = "no-client";
      ++figures_.escrows_without_client;
    }
  }
  event.id = journal_.Append(event);
  if (!event.decision.empty()) {
    sink_.Publish(BillEventJson(event), event.id);
    return 0;
  }
  std::unique_lock lock(mutex_);
  pending_id_ = event.id;
  decision_.reset();
  lock.unlock();
  sink_.Publish(BillEventJson(event), event.id);
  lock.lock();
  decided_.wait_for(lock, escrow_timeout_, [this] { return decision_.has_value() || closing_; });
  const bool stack = decision_.value_or(false);
  const char* by = decision_ ? "client" : closing_ ? "closing" : "timeout";
  if (!decision_ && !closing_) {
    ++figures_.escrow_timeouts;
  }
  pending_id_ = 0;
  decision_.reset();
  lock.unlock();
  const char* decision = stack ? "stack" : "return";
  journal_.SetDecision(event.id, decision, by);
  sink_.Publish(JsonObject()
                    .Add("type", "decision")
                    .Add("id", event.id)
                    .Add("device", config_.name)
                    .Add("decision", decision)
                    .Add("by", by)
                    .Text(),
                0);
  return stack ? 1 : 0;
}

void Validator::Outcome(const char* kind, int64_t amount) {
  if (std::string_view(kind) == "stacked") {
    const std::scoped_lock lock(mutex_);
    ++figures_.stacked_by_value[AmountText(amount)];
    figures_.stacked_amount += amount;
  }
  BillEvent event;
  event.kind = kind;
  event.amount = amount;
  event.code = BillTypeOf(std::string_view(kind) == "stacked" ? 0x81 : 0x82);
  Record(std::move(event));
  sink_.Post([this] { sink_.Publish(StatusJson(), 0); });
}

void Validator::OnEvent(int32_t kind, int32_t code, void* user) {
  auto* self = static_cast<Validator*>(user);
  try {
    switch (kind) {
      case NV_EVENT_STATE:
        self->last_word_ = code;
        self->sink_.Publish(JsonObject()
                                .Add("type", "state")
                                .Add("device", self->config_.name)
                                .Add("word", int64_t{code})
                                .Add("state", nv_state_name(code))
                                .Add("text", Cp1251ToUtf8(StateToText(static_cast<uint16_t>(code))))
                                .Text(),
                            0);
        // The driver drops an enable asked for before it has read the bill
        // table, and the device comes back disabled after a power cut: ask
        // again while the clients want acceptance.
        if ((code & 0xFF) == kStateDisabled && self->want_enabled_.load()) {
          self->sink_.Post([self] {
            if (self->want_enabled_.load()) {
              nv_set_enabled(self->driver_.load(), 1);
            }
          });
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
        event.kind = "rejected";
        event.code = code;
        event.detail = nv_reject_reason_name(code);
        self->Record(std::move(event));
        self->sink_.Post([self] { self->sink_.Publish(self->StatusJson(), 0); });
        break;
      }
      case NV_EVENT_UNCONFIRMED: {
        BillEvent event;
        event.kind = "unconfirmed";
        event.code = code;
        self->Record(std::move(event));
        break;
      }
      default:
        break;
    }
  } catch (const std::exception& error) {
    std::cerr << "notavero-serve: " << self->Name() << ": " << error.what() << std::endl;
  }
}

ValidatorSnapshot Validator::Snapshot() const {
  ValidatorSnapshot snapshot;
  {
    const std::scoped_lock lock(mutex_);
    snapshot = figures_;
  }
  nv_driver* driver = driver_.load();
  snapshot.word = nv_get_state(driver);
  snapshot.link = nv_get_link(driver);
  snapshot.enabled = nv_get_enabled(driver) != 0;
  snapshot.counters.size = sizeof snapshot.counters;
  snapshot.has_counters = nv_get_counters(driver, &snapshot.counters) == 0;
  return snapshot;
}

std::string Validator::StatusJson() const {
  const ValidatorSnapshot s = Snapshot();
  nv_driver* driver = driver_.load();
  std::array<char, 256> text{};
  nv_get_status_text(driver, text.data(), text.size());
  const nv_counters& c = s.counters;
  int64_t stacked = 0;
  for (const uint32_t count : c.stacked) {
    stacked += count;
  }
  return JsonObject()
      .Add("type", "status")
      .Add("device", s.name)
      .Add("word", int64_t{s.word})
      .Add("state", s.word < 0 ? "unknown" : nv_state_name(s.word))
      .Add("text", Cp1251ToUtf8(text.data()))
      .Add("link", nv_link_name(s.link))
      .Add("enabled", s.enabled)
      .Add("stacked", stacked)
      .Add("stacked_amount", int64_t{c.stacked_amount})
      .Add("returned", int64_t{c.returned})
      .Add("rejected", int64_t{c.rejected})
      .Add("timeouts", int64_t{c.timeouts})
      .Add("bad_frames", int64_t{c.bad_frames})
      .Add("reconnects", int64_t{c.reconnects})
      .Add("unconfirmed", int64_t{c.unconfirmed})
      .Add("last_answer_ms", int64_t{c.last_answer_ms})
      .Text();
}

}  // namespace notavero::service
