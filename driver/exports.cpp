// The library's boundary with the host: GetDriver for C++ hosts and the C
// interface of driver/notavero.h.  Both hand out the same object: the
// NotaveroDriver part of a TNotavero, which is at its start.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/cp1251.h"
#include "driver/notavero.h"
#include "driver/notavero_host.h"
#include "driver/notavero_unit.h"
#include "protocol/state_names.h"
#include "protocol/state_text.h"

namespace notavero {
namespace {

// nv_counters is built from NV_COUNTER_LIST: its layout is the one hosts
// were built against.
static_assert(offsetof(nv_counters, stacked) == 4 && offsetof(nv_counters, stacked_amount) == 104);
static_assert(offsetof(nv_counters, returned) == 112 && offsetof(nv_counters, unconfirmed) == 140);
static_assert(offsetof(nv_counters, last_answer_ms) == 144 && sizeof(nv_counters) == 152);

// NV_LINK_*'s name ("online"); "unknown" for any other value.
const char* LinkName(int32_t link) {
  switch (link) {
    case NV_LINK_ONLINE:
      return "online";
    case NV_LINK_NO_ANSWER:
      return "no answer";
    case NV_LINK_PORT_LOST:
      return "port lost";
    default:
      return "unknown";
  }
}

nv_driver* ToHandle(TNotavero* driver) {
  return reinterpret_cast<nv_driver*>(static_cast<NotaveroDriver*>(driver));
}

// Copies text NUL-terminated and cut to size bytes; nothing when size is 0.
void CopyText(const char* text, char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) {
    return;
  }
  const std::size_t n = std::min(std::strlen(text), size - 1);
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
}

// The drivers handed out and not yet freed.  A handle is looked up here
// before it is used, so that a handle freed twice, or one that was never a
// driver, is ignored instead of touching memory that is not a driver.
//
// The C interface's handles are numbers that are never given out twice in a
// process: a freed handle stays dead even when a new driver is created at
// the same address.  They are odd, and so never equal to the address of an
// object, which is what GetDriver hands out (its callers free the object
// through nv_free_driver with that address).
class Registry {
 public:
  static Registry& Instance() {
    static auto* registry = new Registry;  // never destroyed: hosts may free drivers during exit
    return *registry;
  }

  // GetDriver: the object is its own handle.
  TNotavero* Add(TNotavero* driver) {
    const std::lock_guard lock(mutex_);
    live_.emplace(ToHandle(driver), driver);
    return driver;
  }

  // The C interface: a handle of its own.
  nv_driver* AddNumbered(TNotavero* driver) {
    const std::lock_guard lock(mutex_);
    next_ += 2;
    auto* handle =
        reinterpret_cast<nv_driver*>(next_);  // NOLINT(performance-no-int-to-ptr): an opaque number
    live_.emplace(handle, driver);
    return handle;
  }

  // Removes and returns the driver of a live handle; null for any other.
  TNotavero* Remove(nv_driver* handle) {
    const std::lock_guard lock(mutex_);
    const auto found = live_.find(handle);
    if (found == live_.end()) {
      return nullptr;
    }
    TNotavero* driver = found->second;
    live_.erase(found);
    return driver;
  }

  // Runs `action` on the driver of a live handle, under the registry's lock
  // (the operations are short and never wait for the polling thread), so
  // that a free on another thread cannot pull it away meanwhile.
  template <typename Action>
  void With(nv_driver* handle, Action action) {
    const std::lock_guard lock(mutex_);
    const auto found = live_.find(handle);
    if (found != live_.end()) {
      action(*found->second);
    }
  }

 private:
  std::mutex mutex_;
  std::unordered_map<nv_driver*, TNotavero*> live_;
  std::uintptr_t next_ = 1;
};

}  // namespace

// ---------------------------------------------------------------------------
// The host flavours: each callback a host can give, as the bill cycle's host.

namespace {

// The event callback is the same for every flavour (and optional).
class SinkHost : public TBillHost {
 public:
  explicit SinkHost(const TBillSink& sink) : sink_(sink) {}
  void Notify(int32_t kind, int32_t code) override {
    if (sink_.event_callback != nullptr) {
      sink_.event_callback(kind, code, sink_.user);
    }
  }
  [[nodiscard]] bool TakesEvents() const override { return sink_.event_callback != nullptr; }
  [[nodiscard]] bool RecordsOutcomes() const override {
    return (sink_.flags & NV_OPT_ACK_AFTER_CALLBACK) != 0;
  }

 protected:
  const TBillSink sink_;
};

// GetDriver: one callback for every bill event, whose result decides an
// escrow.  Without a callback nobody can credit a bill: an escrowed one goes
// back.
class CppHost final : public SinkHost {
 public:
  using SinkHost::SinkHost;
  bool Escrow(CurrencyAmount amount, uint8_t /*bill_type*/) override {
    return sink_.callback != nullptr && sink_.callback(beEscrow, amount);
  }
  bool Outcome(TBillEvent kind, CurrencyAmount amount, uint8_t /*bill_type*/) override {
    if (sink_.callback != nullptr) {
      sink_.callback(kind, amount);
    }
    return true;
  }
};

// The C interface: the plain callback with its user pointer, or the
// extended one that also gives the bill type; under
// NV_OPT_ACK_AFTER_CALLBACK the host records an outcome before the device
// is acknowledged, and NV_OUTCOME_RETRY leaves it with the device.
class CHost final : public SinkHost {
 public:
  using SinkHost::SinkHost;
  bool Escrow(CurrencyAmount amount, uint8_t bill_type) override {
    return Call(beEscrow, amount, bill_type) != 0;
  }
  bool Outcome(TBillEvent kind, CurrencyAmount amount, uint8_t bill_type) override {
    const int result = Call(kind, amount, bill_type);
    return !(RecordsOutcomes() && result == NV_OUTCOME_RETRY);
  }

 private:
  int Call(TBillEvent kind, CurrencyAmount amount, uint8_t bill_type) {
    if (sink_.bill_ex_callback != nullptr) {
      const nv_bill bill{static_cast<uint32_t>(sizeof(nv_bill)), kind, amount, bill_type};
      return sink_.bill_ex_callback(&bill, sink_.user);
    }
    return sink_.c_callback(kind, amount, sink_.user);
  }
};

}  // namespace

std::unique_ptr<TBillHost> MakeBillHost(const TBillSink& sink) {
  if (sink.c_callback != nullptr || sink.bill_ex_callback != nullptr) {
    return std::make_unique<CHost>(sink);
  }
  return std::make_unique<CppHost>(sink);
}

}  // namespace notavero

using notavero::Registry;
using notavero::TNotavero;

// No exception leaves the library: a host on 32-bit Windows, or one built
// with another compiler, could not catch it (each side carries its own
// runtime) and would end.  A driver that cannot be created is null;
// nv_get_driver gives the reason as text.
extern "C" NV_API notavero::NotaveroDriver* NV_CALL GetDriver(uint8_t port,
                                                              notavero::TBillCallback callback) noexcept {
  try {
    return Registry::Instance().Add(new TNotavero(port, notavero::TBillSink{callback, nullptr, nullptr}));
  } catch (...) {
    return nullptr;
  }
}

extern "C" {

NV_API nv_driver* nv_get_driver(uint8_t port, nv_bill_callback callback, void* user, char* error,
                                size_t error_size) {
  try {
    notavero::TBillSink sink{nullptr, callback, user};
    sink.standing_enable = true;
    return Registry::Instance().AddNumbered(new TNotavero(port, sink));
  } catch (const std::exception& failure) {
    notavero::CopyText(failure.what(), error, error_size);
  } catch (...) {
    notavero::CopyText("unknown error", error, error_size);
  }
  return nullptr;
}

NV_API void nv_free_driver(nv_driver* driver) {
  if (TNotavero* live = Registry::Instance().Remove(driver)) {
    live->Release();
  }
}

NV_API void nv_get_version(nv_driver* driver, unsigned char* buffer) {
  if (buffer == nullptr) {
    return;
  }
  Registry::Instance().With(driver, [&](TNotavero& live) { live.GetVersion(buffer); });
}

NV_API size_t nv_get_status_text(nv_driver* driver, char* buffer, size_t size) {
  size_t length = 0;
  if (size > 0 && buffer != nullptr) {
    buffer[0] = '\0';
  }
  Registry::Instance().With(driver, [&](TNotavero& live) { length = live.GetStatusText(buffer, size); });
  return length;
}

NV_API void nv_set_enabled(nv_driver* driver, int enabled) {
  Registry::Instance().With(driver, [&](TNotavero& live) { live.SetEnabled(enabled != 0); });
}

NV_API nv_driver* nv_open(const nv_options* options, char* error, size_t error_size) {
  if (options == nullptr) {
    notavero::CopyText("nv_open: options is NULL", error, error_size);
    return nullptr;
  }
  // The first version of the struct ended before flags.
  constexpr std::size_t kFirstVersionSize = offsetof(nv_options, flags);
  if (options->size < kFirstVersionSize) {
    notavero::CopyText("nv_open: options->size is smaller than the first version of nv_options", error,
                       error_size);
    return nullptr;
  }
  // A field past the caller's size is not there: an older host's struct.
  const auto has = [options](std::size_t offset, std::size_t size) { return options->size >= offset + size; };
  notavero::TBillSink sink{nullptr, options->on_bill, options->user, options->on_event};
  sink.flags = has(offsetof(nv_options, flags), sizeof options->flags) ? options->flags : 0;
  if (has(offsetof(nv_options, on_bill_ex), sizeof options->on_bill_ex)) {
    sink.bill_ex_callback = options->on_bill_ex;
  }
  sink.standing_enable = true;
  const auto report = [&](std::string_view text) {
    const std::string utf8 =
        (sink.flags & NV_OPT_UTF8_ERROR) != 0 ? notavero::Cp1251ToUtf8(text) : std::string(text);
    notavero::CopyText(utf8.c_str(), error, error_size);
  };
  try {
    if (options->device != nullptr && options->device[0] != '\0') {
      return Registry::Instance().AddNumbered(new TNotavero(std::string_view(options->device), sink));
    }
    return Registry::Instance().AddNumbered(new TNotavero(options->port, sink));
  } catch (const std::exception& failure) {
    report(failure.what());
  } catch (...) {
    report("unknown error");
  }
  return nullptr;
}

NV_API int32_t nv_get_state(nv_driver* driver) {
  int32_t state = -1;
  Registry::Instance().With(driver, [&](TNotavero& live) { state = live.State(); });
  return state;
}

NV_API int32_t nv_get_link(nv_driver* driver) {
  int32_t link = NV_LINK_UNKNOWN;
  Registry::Instance().With(driver, [&](TNotavero& live) { link = live.Link(); });
  return link;
}

NV_API int nv_get_enabled(nv_driver* driver) {
  int enabled = 0;
  Registry::Instance().With(driver, [&](TNotavero& live) { enabled = live.EnableWanted() ? 1 : 0; });
  return enabled;
}

NV_API int nv_get_counters(nv_driver* driver, nv_counters* counters) {
  if (counters == nullptr || counters->size < sizeof(nv_counters)) {
    return -1;
  }
  int result = -1;
  Registry::Instance().With(driver, [&](TNotavero& live) {
    const notavero::TDriverCounters counted = live.Counters();
    nv_counters out{};
    out.size = sizeof(nv_counters);
    std::copy(counted.stacked.begin(), counted.stacked.end(), std::begin(out.stacked));
    out.stacked_amount = counted.stacked_amount;
#define NV_COPY_COUNT_(field, metric, help) out.field = counted.field;
    NV_COUNTER_LIST(NV_COPY_COUNT_)
#undef NV_COPY_COUNT_
    out.last_answer_ms = -1;
    if (counted.last_answer) {
      out.last_answer_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - *counted.last_answer)
                               .count();
    }
    std::memcpy(counters, &out, sizeof out);  // the caller's size may be larger: its tail is left alone
    result = 0;
  });
  return result;
}

NV_API const char* nv_state_name(int32_t word) {
  return notavero::StateName(static_cast<uint8_t>(word & 0xFF));
}

NV_API const char* nv_reject_reason_name(int32_t code) {
  return notavero::RejectReasonName(static_cast<uint8_t>(code & 0xFF));
}

NV_API const char* nv_link_name(int32_t link) {
  return notavero::LinkName(link);
}

NV_API size_t nv_state_text_utf8(int32_t word, char* buffer, size_t size) {
  const std::string text =
      word < 0 ? std::string() : notavero::Cp1251ToUtf8(notavero::StateToText(static_cast<uint16_t>(word)));
  notavero::CopyText(text.c_str(), buffer, size);
  return text.size();
}

}  // extern "C"
