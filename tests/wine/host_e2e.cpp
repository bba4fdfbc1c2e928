// A Windows host of our own for Notavero.dll, run under Wine by
// scripts/test-wine for the x64 and the x86 build.  COM5 of the Wine prefix
// is the pseudo-terminal of a notavero-sim whose script
// (tests/wine/e2e_device.txt) inserts the bills once the device is enabled.
//
// It loads the library with LoadLibraryA the way hosts do, finds GetDriver by
// name and by ordinal 1, and then runs the driver on COM5:
//   1. through the C++ object of GetDriver: power-up, bill table, enable,
//      a 100 bill stacked, a 500 bill returned, disable, nv_free_driver;
//   2. through the C interface: the device is found disabled, the table read,
//      acceptance enabled, a 1000 bill stacked with the host's user pointer;
//   3. through nv_open, by the port's path "\\.\COM5" and then by its number,
//      following the device by events: link and state events in order, a
//      bill type the device refuses, a 100 bill stacked, then the state, the
//      link and the counters as the driver reports them.
// Finally it reads the driver's log at C:\VORK\LogFiles\Notavero.log and
// checks its lines.  Prints one line per check; exits 1 when any failed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/cp1251.h"
#include "driver/notavero.h"
#include "driver/notavero_host.h"

namespace {

using notavero::Cp1251;
using notavero::Cp1251ToUtf8;
using notavero::NotaveroDriver;
using namespace std::chrono_literals;

constexpr uint8_t kPort = 5;
constexpr uint8_t kMissingPort = 9;
constexpr int64_t kRouble = 10000;  // amounts are in 1/10000 currency units
constexpr const char* kLogPath = "C:\\VORK\\LogFiles\\Notavero.log";
// Generous: the device model answers at once, but Wine and a loaded machine
// may make a power-up take seconds.  Every wait ends on the event it waits
// for; these bounds only end a run that went wrong, and a wait that runs out
// prints what it saw.
constexpr auto kStateTimeout = 120s;
constexpr auto kEventTimeout = 120s;

int failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
  std::fflush(stdout);
  if (!ok) {
    ++failures;
  }
}

std::string Quoted(std::string_view cp1251) {
  return "\"" + Cp1251ToUtf8(cp1251) + "\"";
}

// The bill events the driver reports, in order, as the callback received them.
struct BillEvent {
  int32_t kind;
  int64_t amount;
  bool operator==(const BillEvent&) const = default;
};

class EventLog {
 public:
  void Add(BillEvent event) {
    {
      const std::lock_guard lock(mutex_);
      events_.push_back(event);
    }
    changed_.notify_all();
  }

  // True once `expected` are the next events after the ones already taken;
  // takes them.  False on time-out or on any other event; then prints the
  // events that came.
  bool Expect(const std::vector<BillEvent>& expected) {
    std::unique_lock lock(mutex_);
    const bool arrived =
        changed_.wait_for(lock, kEventTimeout, [&] { return events_.size() >= taken_ + expected.size(); });
    const bool same = arrived && std::equal(expected.begin(), expected.end(),
                                            events_.begin() + static_cast<std::ptrdiff_t>(taken_));
    if (!same) {
      std::printf("  %s; the bill events so far (%zu taken before):",
                  arrived ? "other events came" : "timed out", taken_);
      for (const BillEvent& event : events_) {
        std::printf(" %d/%lld", static_cast<int>(event.kind), static_cast<long long>(event.amount));
      }
      std::printf("\n");
    }
    taken_ += expected.size();
    return same;
  }

  std::size_t Count() {
    const std::lock_guard lock(mutex_);
    return events_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<BillEvent> events_;
  std::size_t taken_ = 0;
};

// The C++ host's callback has no context argument: it reaches its state
// through a global, as hosts of this interface do.
EventLog cpp_events;

// Stacks bills up to 100 roubles and returns bigger ones.
bool NV_CALL OnBillCpp(int32_t kind, int64_t amount) {
  cpp_events.Add({kind, amount});
  return kind == notavero::beEscrow && amount <= 100 * kRouble;
}

struct CHost {
  EventLog events;
  int foreign_user = 0;  // callbacks that arrived with another user pointer
};

int OnBillC(int32_t kind, int64_t amount, void* user) {
  auto* host = static_cast<CHost*>(user);
  host->events.Add({kind, amount});
  return kind == NV_BILL_ESCROW ? 1 : 0;
}

// The state text through a host's eyes: read it every 20 ms until `until`
// says stop or the time runs out; `step` may act on each text read.
// A wait that runs out prints the last text it read.
bool WatchStatus(const std::function<std::string()>& read,
                 const std::function<bool(const std::string&)>& until,
                 const std::function<void(const std::string&)>& step = {}) {
  const auto deadline = std::chrono::steady_clock::now() + kStateTimeout;
  std::string text;
  while (std::chrono::steady_clock::now() < deadline) {
    text = read();
    if (until(text)) {
      return true;
    }
    if (step) {
      step(text);
    }
    Sleep(20);
  }
  std::printf("  timed out; the state text last read %s\n", Quoted(text).c_str());
  return false;
}

// Asks for acceptance whenever the device reads as disabled, until it waits
// for bills.  An enable asked for before the bill table is read enables
// nothing, so one request is not enough.
bool EnableAcceptance(const std::function<std::string()>& read, const std::function<void()>& enable) {
  constexpr auto kDisabled = Cp1251(u8"Выключен");
  constexpr auto kIdle = Cp1251(u8"Ожидается вставка купюры");
  auto last_request = std::chrono::steady_clock::time_point{};
  return WatchStatus(
      read, [&](const std::string& text) { return text == kIdle.view(); },
      [&](const std::string& text) {
        const auto now = std::chrono::steady_clock::now();
        if (text == kDisabled.view() && now - last_request > 300ms) {
          enable();
          last_request = now;
        }
      });
}

void CheckVersionBytes(const unsigned char* buffer, std::size_t size, const std::string& via) {
  static constexpr unsigned char kVersion[] = {13,  'v', '1', '.', '0', '#', 'N',
                                               'o', 't', 'a', 'v', 'e', 'r', 'o'};
  const bool text_ok = std::memcmp(buffer, kVersion, sizeof kVersion) == 0;
  const bool rest_ok =
      std::all_of(buffer + sizeof kVersion, buffer + size, [](unsigned char b) { return b == 0xFF; });
  Check(text_ok && rest_ok, via + ": version is 0x0D \"v1.0#Notavero\", the bytes after it untouched");
}

// --- the library and its exports -------------------------------------------

using GetDriverFn = decltype(&GetDriver);

struct Library {
  HMODULE module = nullptr;
  GetDriverFn get_driver = nullptr;
  decltype(&nv_get_driver) get = nullptr;
  decltype(&nv_free_driver) free = nullptr;
  decltype(&nv_get_version) version = nullptr;
  decltype(&nv_get_status_text) status = nullptr;
  decltype(&nv_set_enabled) enable = nullptr;
  decltype(&nv_open) open = nullptr;
  decltype(&nv_get_state) state = nullptr;
  decltype(&nv_get_link) link = nullptr;
  decltype(&nv_get_enabled) enabled = nullptr;
  decltype(&nv_get_counters) counters = nullptr;
  decltype(&nv_state_name) state_name = nullptr;
  decltype(&nv_reject_reason_name) reason_name = nullptr;
  decltype(&nv_link_name) link_name = nullptr;
  decltype(&nv_state_text_utf8) state_text = nullptr;
};

// GetDriver at ordinal 1 and the nv_* functions of driver/notavero.h.
constexpr int kExportCount = 16;

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

bool LoadDriverLibrary(Library& lib) {
  lib.module = LoadLibraryA("Notavero.dll");
  Check(lib.module != nullptr,
        "LoadLibraryA(\"Notavero.dll\") (error " + std::to_string(GetLastError()) + ")");
  if (lib.module == nullptr) {
    return false;
  }
  char path[MAX_PATH] = {};
  GetModuleFileNameA(lib.module, path, MAX_PATH);
  std::printf("loaded %s\n", path);

  lib.get_driver = Export<GetDriverFn>(lib.module, "GetDriver");
  const auto by_ordinal = Export<GetDriverFn>(lib.module, MAKEINTRESOURCEA(1));
  Check(lib.get_driver != nullptr, "GetDriver found by name");
  Check(by_ordinal != nullptr && by_ordinal == lib.get_driver, "ordinal 1 is GetDriver");
  Check(GetProcAddress(lib.module, "GetDriver@8") == nullptr &&
            GetProcAddress(lib.module, "_GetDriver@8") == nullptr,
        "no decorated GetDriver exported");
  Check(GetProcAddress(lib.module, MAKEINTRESOURCEA(kExportCount + 1)) == nullptr,
        "no export beyond ordinal " + std::to_string(kExportCount));

  lib.get = Export<decltype(lib.get)>(lib.module, "nv_get_driver");
  lib.free = Export<decltype(lib.free)>(lib.module, "nv_free_driver");
  lib.version = Export<decltype(lib.version)>(lib.module, "nv_get_version");
  lib.status = Export<decltype(lib.status)>(lib.module, "nv_get_status_text");
  lib.enable = Export<decltype(lib.enable)>(lib.module, "nv_set_enabled");
  lib.open = Export<decltype(lib.open)>(lib.module, "nv_open");
  lib.state = Export<decltype(lib.state)>(lib.module, "nv_get_state");
  lib.link = Export<decltype(lib.link)>(lib.module, "nv_get_link");
  lib.enabled = Export<decltype(lib.enabled)>(lib.module, "nv_get_enabled");
  lib.counters = Export<decltype(lib.counters)>(lib.module, "nv_get_counters");
  lib.state_name = Export<decltype(lib.state_name)>(lib.module, "nv_state_name");
  lib.reason_name = Export<decltype(lib.reason_name)>(lib.module, "nv_reject_reason_name");
  lib.link_name = Export<decltype(lib.link_name)>(lib.module, "nv_link_name");
  lib.state_text = Export<decltype(lib.state_text)>(lib.module, "nv_state_text_utf8");
  const bool found = lib.get && lib.free && lib.version && lib.status && lib.enable && lib.open &&
                     lib.state && lib.link && lib.enabled && lib.counters && lib.state_name &&
                     lib.reason_name && lib.link_name && lib.state_text;
  Check(found, "the nv_* functions found by name");
  return lib.get_driver != nullptr && found;
}

// --- 1. the C++ object -----------------------------------------------------

void RunCppHost(const Library& lib) {
  std::puts("-- C++ host: GetDriver");
  // No exception crosses the DLL's boundary (on x86 the DLL and this
  // program each carry their own unwinder): a port that cannot be opened
  // gives a null driver; nv_get_driver tells why.
  try {
    NotaveroDriver* missing = lib.get_driver(kMissingPort, OnBillCpp);
    Check(missing == nullptr, "GetDriver(9) returns no driver");
    if (missing != nullptr) {
      lib.free(reinterpret_cast<nv_driver*>(missing));
    }
  } catch (const std::exception& error) {
    Check(false, "GetDriver(9) threw " + Quoted(error.what()));
  }

  NotaveroDriver* driver = nullptr;
  try {
    driver = lib.get_driver(kPort, OnBillCpp);
  } catch (const std::exception& error) {
    Check(false, "GetDriver(5) threw " + Quoted(error.what()));
    return;
  }
  Check(driver != nullptr, "GetDriver(5) returns the driver");

  unsigned char version[40];
  std::memset(version, 0xFF, sizeof version);
  driver->GetVersion(version);
  CheckVersionBytes(version, sizeof version, "GetVersion");

  const auto read = [driver] {
    char text[128];
    const std::size_t length = driver->GetStatusText(text, sizeof text);
    return std::string(text, std::min(length, sizeof text - 1));
  };
  constexpr auto kDisabled = Cp1251(u8"Выключен");
  Check(WatchStatus(read, [&](const std::string& t) { return t == kDisabled.view(); }),
        "after power-up and reset the state text reads " + Quoted(kDisabled));
  {
    // The device stays disabled until the host enables it: the text is stable.
    char small[6];
    std::memset(small, 'x', sizeof small);
    const std::size_t length = driver->GetStatusText(small, 5);
    Check(length == kDisabled.size() && std::string_view(small) == kDisabled.view().substr(0, 4) &&
              small[5] == 'x',
          "GetStatusText into 5 bytes: 4 bytes and NUL, the full length returned");
  }
  Check(EnableAcceptance(read, [driver] { driver->SetEnabled(true); }),
        "SetEnabled(true) while disabled: the device waits for bills");

  // The device's script inserts a 100 (type 4), then, once it is stacked, a 500 (type 5).
  Check(cpp_events.Expect({{notavero::beEscrow, 100 * kRouble}, {notavero::beStacked, 100 * kRouble}}),
        "100 roubles: escrow, stacked");
  Check(cpp_events.Expect({{notavero::beEscrow, 500 * kRouble}, {notavero::beReturned, 500 * kRouble}}),
        "500 roubles: escrow, returned");

  driver->SetEnabled(false);
  Check(WatchStatus(read, [&](const std::string& t) { return t == kDisabled.view(); }),
        "SetEnabled(false): the state text reads " + Quoted(kDisabled));

  const auto started = std::chrono::steady_clock::now();
  lib.free(reinterpret_cast<nv_driver*>(driver));
  const auto took =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  std::printf("nv_free_driver took %.1f ms\n", took);
  const std::size_t events = cpp_events.Count();
  Check(events == 4, "four bill events in all, got " + std::to_string(events));
}

// --- 2. the C interface ----------------------------------------------------

void RunCHost(const Library& lib) {
  std::puts("-- C host: nv_get_driver");
  char error[256];
  std::memset(error, 'x', sizeof error);
  nv_driver* missing = lib.get(kMissingPort, OnBillC, nullptr, error, sizeof error);
  constexpr auto kOpenFail = Cp1251(u8"Невозможно открыть COM9");
  // The port's text first, then the device and the system's reason.
  Check(missing == nullptr && std::string_view(error).starts_with(kOpenFail.view()) &&
            std::string_view(error).size() > kOpenFail.view().size(),
        "nv_get_driver(9) fails with " + Quoted(error));
  std::memset(error, 'x', sizeof error);
  missing = lib.get(kMissingPort, OnBillC, nullptr, error, 8);
  Check(missing == nullptr && std::string_view(error) == kOpenFail.view().substr(0, 7) && error[8] == 'x',
        "nv_get_driver(9) cuts the message to the 8 bytes given");

  CHost host;
  nv_driver* driver = lib.get(kPort, OnBillC, &host, error, sizeof error);
  Check(driver != nullptr, "nv_get_driver(5) returns the driver");
  if (driver == nullptr) {
    std::printf("error: %s\n", Cp1251ToUtf8(error).c_str());
    return;
  }
  unsigned char version[20];
  std::memset(version, 0xFF, sizeof version);
  lib.version(driver, version);
  CheckVersionBytes(version, sizeof version, "nv_get_version");

  const auto read = [&lib, driver] {
    char text[128];
    const std::size_t length = lib.status(driver, text, sizeof text);
    return std::string(text, std::min(length, sizeof text - 1));
  };
  // The device was left disabled: the driver reads the table on the first
  // disabled state it sees, and the text stays until the host enables.
  constexpr auto kDisabled = Cp1251(u8"Выключен");
  Check(WatchStatus(read, [&](const std::string& t) { return t == kDisabled.view(); }),
        "the state text reads " + Quoted(kDisabled));
  char untouched[4] = {'x', 'x', 'x', 'x'};
  Check(lib.status(driver, nullptr, 0) == kDisabled.size() &&
            lib.status(driver, untouched, 0) == kDisabled.size() && untouched[0] == 'x',
        "nv_get_status_text with size 0: the length, nothing written");
  Check(EnableAcceptance(read, [&lib, driver] { lib.enable(driver, 1); }),
        "nv_set_enabled(1) while disabled: the device waits for bills");
  Check(host.events.Expect({{NV_BILL_ESCROW, 1000 * kRouble}, {NV_BILL_STACKED, 1000 * kRouble}}),
        "1000 roubles through the C callback with the host's pointer: escrow, stacked");
  lib.free(driver);
  lib.free(nullptr);
  Check(host.events.Count() == 2, "two bill events through the C callback");
}

// --- 3. nv_open and the events ---------------------------------------------

// What an nv_open host heard, in order: events and bill callbacks in one list.
struct Heard {
  bool bill = false;  // a bill callback (else an event)
  int32_t kind = 0;
  int64_t value = 0;  // the event's code or the bill's amount
};

class EventHost {
 public:
  static void OnEvent(int32_t kind, int32_t code, void* user) {
    static_cast<EventHost*>(user)->Add({false, kind, code});
  }
  static int OnBill(int32_t kind, int64_t amount, void* user) {
    static_cast<EventHost*>(user)->Add({true, kind, amount});
    return kind == NV_BILL_ESCROW ? 1 : 0;
  }

  // The index of the first entry from `from` on that `match` accepts,
  // waiting up to `timeout` for it; -1 when none came (then, unless `quiet`,
  // prints what was heard).
  long WaitFor(const std::function<bool(const Heard&)>& match, std::size_t from = 0,
               std::chrono::milliseconds timeout = kEventTimeout, bool quiet = false) {
    std::unique_lock lock(mutex_);
    long found = -1;
    changed_.wait_for(lock, timeout, [&] {
      for (std::size_t i = from; i < heard_.size(); ++i) {
        if (match(heard_[i])) {
          found = static_cast<long>(i);
          return true;
        }
      }
      return false;
    });
    if (found < 0 && !quiet) {
      std::printf("  timed out after %lld ms; heard from entry %zu on:",
                  static_cast<long long>(timeout.count()), from);
      for (std::size_t i = from; i < heard_.size(); ++i) {
        std::printf(" %s %d %lld;", heard_[i].bill ? "bill" : "event", static_cast<int>(heard_[i].kind),
                    static_cast<long long>(heard_[i].value));
      }
      std::printf("\n");
    }
    return found;
  }
  long WaitForState(int32_t state, std::size_t from = 0, std::chrono::milliseconds timeout = kEventTimeout) {
    return WaitFor(
        [&](const Heard& h) { return !h.bill && h.kind == NV_EVENT_STATE && (h.value & 0xFF) == state; },
        from, timeout);
  }
  long WaitForEvent(int32_t kind, std::size_t from = 0) {
    return WaitFor([&](const Heard& h) { return !h.bill && h.kind == kind; }, from);
  }
  long WaitForBill(int32_t kind, std::size_t from = 0) {
    return WaitFor([&](const Heard& h) { return h.bill && h.kind == kind; }, from);
  }
  Heard At(long index) {
    const std::lock_guard lock(mutex_);
    return index >= 0 && static_cast<std::size_t>(index) < heard_.size()
               ? heard_[static_cast<std::size_t>(index)]
               : Heard{};
  }
  std::size_t Size() {
    const std::lock_guard lock(mutex_);
    return heard_.size();
  }
  std::vector<Heard> All() {
    const std::lock_guard lock(mutex_);
    return heard_;
  }

 private:
  void Add(Heard heard) {
    {
      const std::lock_guard lock(mutex_);
      heard_.push_back(heard);
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Heard> heard_;
};

constexpr int32_t kStateIdling = 0x14;
constexpr int32_t kStateDisabled = 0x19;
constexpr int32_t kStateRejecting = 0x1C;
constexpr int32_t kStateEscrow = 0x80;
constexpr int32_t kStateStacked = 0x81;

nv_options EventOptions(EventHost& host) {
  nv_options options{};
  options.size = sizeof options;
  options.on_bill = &EventHost::OnBill;
  options.on_event = &EventHost::OnEvent;
  options.user = &host;
  return options;
}

void RunOpenHost(const Library& lib) {
  std::puts("-- C host: nv_open, events, link, state and counters");
  char error[256] = "";
  {
    // The device path as Windows names the port.
    EventHost host;
    nv_options options = EventOptions(host);
    options.device = "\\\\.\\COM5";
    nv_driver* driver = lib.open(&options, error, sizeof error);
    Check(driver != nullptr, std::string("nv_open(\"\\\\.\\COM5\") opens the port by its path") +
                                 (driver == nullptr ? ": " + Cp1251ToUtf8(error) : ""));
    if (driver != nullptr) {
      const long online = host.WaitFor([](const Heard& h) { return !h.bill && h.kind == NV_EVENT_LINK; });
      Check(online >= 0 && host.At(online).value == NV_LINK_ONLINE,
            "  by path: the first link event is \"online\"");
      Check(host.WaitForState(kStateDisabled) >= 0,
            "  by path: a state event 19 (the device was left disabled)");
      lib.free(driver);
    }
    options.device = "\\\\.\\COM9";
    std::memset(error, 0, sizeof error);
    nv_driver* missing = lib.open(&options, error, sizeof error);
    Check(missing == nullptr && std::string_view(error).find("COM9") != std::string_view::npos,
          "nv_open(\"\\\\.\\COM9\") fails naming the port: " + Quoted(error));
    lib.free(missing);
  }

  EventHost host;
  nv_options options = EventOptions(host);
  options.port = kPort;
  nv_driver* driver = lib.open(&options, error, sizeof error);
  Check(driver != nullptr, "nv_open with port 5 returns the driver");
  if (driver == nullptr) {
    std::printf("error: %s\n", Cp1251ToUtf8(error).c_str());
    return;
  }
  const long disabled = host.WaitForState(kStateDisabled);
  Check(disabled >= 0, "a state event 19: the device was left disabled");
  {
    const std::vector<Heard> all = host.All();
    Check(!all.empty() && !all[0].bill && all[0].kind == NV_EVENT_LINK && all[0].value == NV_LINK_ONLINE,
          "the first event is the link coming online");
  }
  Check(lib.link(driver) == NV_LINK_ONLINE && std::string_view(lib.link_name(lib.link(driver))) == "online",
        "nv_get_link: online");
  Check(lib.enabled(driver) == 0, "nv_get_enabled: 0 before the host asks");

  // An enable asked for before the driver has read the bill table enables
  // nothing: ask again while the device stays disabled.  The device's script
  // inserts a bill the moment it is enabled, so the driver may see it
  // accepting without an idle poll between.
  long enabled = -1;
  const auto deadline = std::chrono::steady_clock::now() + kStateTimeout;
  while (enabled < 0 && std::chrono::steady_clock::now() < deadline) {
    lib.enable(driver, 1);
    enabled = host.WaitFor(
        [](const Heard& h) {
          return !h.bill && h.kind == NV_EVENT_STATE && (h.value & 0xFF) != kStateDisabled;
        },
        static_cast<std::size_t>(disabled), 1s, /*quiet=*/true);
  }
  Check(enabled >= 0 && lib.enabled(driver) == 1,
        "nv_set_enabled(1): the device leaves state 19, nv_get_enabled 1");

  // The device's script refuses a bill type without a value, then takes a 100.
  const auto from = static_cast<std::size_t>(std::max(enabled, 0L));
  const long rejecting = host.WaitForState(kStateRejecting, from);
  const long rejected = host.WaitForEvent(NV_EVENT_REJECTED, from);
  const int32_t reason = static_cast<int32_t>(host.At(rejected).value);
  Check(rejecting >= 0 && rejected > rejecting && reason == (host.At(rejecting).value >> 8),
        "a state event 1C, then one rejection event with its sub-code");
  Check(std::string_view(lib.reason_name(reason)) == "inhibited denomination",
        std::string("the rejection's reason is named: ") + lib.reason_name(reason));
  const long stacked = host.WaitForBill(NV_BILL_STACKED, from);
  const long escrow_state = host.WaitForState(kStateEscrow, from);
  const long escrow = host.WaitForBill(NV_BILL_ESCROW, from);
  const long stacked_state = host.WaitForState(kStateStacked, from);
  Check(stacked >= 0 && host.At(stacked).value == 100 * kRouble, "100 roubles stacked");
  Check(rejected < escrow_state && escrow_state < escrow && escrow < stacked_state && stacked_state < stacked,
        "in order: rejection, state 80, escrow callback, state 81, stacked callback");
  const long idle_again = host.WaitForState(kStateIdling, static_cast<std::size_t>(std::max(stacked, 0L)));
  Check(idle_again >= 0 && (lib.state(driver) & 0xFF) == kStateIdling &&
            std::string_view(lib.state_name(lib.state(driver))) == "idling",
        "idling again: nv_get_state 0x14, named \"idling\"");
  char utf8[64] = "";
  const std::size_t utf8_length = lib.state_text(kStateDisabled, utf8, sizeof utf8);
  Check(utf8_length == std::string_view(utf8).size() && std::string_view(utf8) == "Выключен",
        "nv_state_text_utf8: the disabled state's text in UTF-8");
  if (failures > 0) {  // what the host heard, for the reader of a failure
    for (const Heard& h : host.All()) {
      std::printf("  heard %s %d %lld\n", h.bill ? "bill" : "event", static_cast<int>(h.kind),
                  static_cast<long long>(h.value));
    }
  }

  nv_counters counters{};
  counters.size = sizeof counters;
  Check(lib.counters(driver, &counters) == 0, "nv_get_counters");
  Check(counters.stacked[4] == 1 && counters.stacked_amount == 100 * kRouble && counters.rejected == 1 &&
            counters.returned == 0 && counters.power_ups == 0 && counters.unconfirmed == 0 &&
            counters.reconnects == 0 && counters.last_answer_ms >= 0,
        "counters: one 100 stacked (type 4), one rejected, no power-up, no reconnect");
  nv_counters small{};
  small.size = sizeof small - 1;
  Check(lib.counters(driver, &small) == -1 && small.stacked_amount == 0,
        "nv_get_counters refuses a struct smaller than its own");
  lib.free(driver);
  Check(lib.state(driver) == -1 && lib.link(driver) == NV_LINK_UNKNOWN,
        "a freed handle: state -1, link unknown");
}

// --- the log ---------------------------------------------------------------

struct LogLine {
  char mark = 0;
  std::string text;  // after the stamp and the empty tag
};

bool IsStamp(std::string_view s) {  // dd.mm hh:mm:ss.zzz
  static constexpr std::string_view kShape = "00.00 00:00:00.000";
  if (s.size() != kShape.size()) {
    return false;
  }
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (kShape[i] == '0' ? (s[i] < '0' || s[i] > '9') : s[i] != kShape[i]) {
      return false;
    }
  }
  return true;
}

void CheckLog() {
  std::puts("-- the log");
  std::ifstream file(kLogPath, std::ios::binary);
  Check(file.good(), std::string("the log is at ") + kLogPath);
  const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<LogLine> lines;
  std::vector<std::string_view> all;
  bool shape_ok = !content.empty();
  std::size_t pos = 0;
  while (pos < content.size()) {
    const std::size_t end = content.find("\r\n", pos);
    if (end == std::string::npos) {
      shape_ok = false;  // a line without CR LF
      break;
    }
    const std::string_view line(content.data() + pos, end - pos);
    pos = end + 2;
    all.push_back(line);
    if (all.size() <= 2) {
      continue;  // checked below
    }
    // mark, space, stamp (18), space, "[]", space, text
    if (line.size() < 24 || line[1] != ' ' || !IsStamp(line.substr(2, 18)) || line.substr(20, 4) != " [] " ||
        std::string_view("-+?!#$^").find(line[0]) == std::string_view::npos) {
      std::printf("malformed line: %s\n", Cp1251ToUtf8(line).c_str());
      shape_ok = false;
      continue;
    }
    lines.push_back({line[0], std::string(line.substr(24))});
  }
  Check(shape_ok,
        std::to_string(lines.size()) + " lines, each \"M dd.mm hh:mm:ss.zzz [] text\" ending in CR LF");
  // The file did not exist: the first write of the process starts it with an
  // empty line and the failure to open it, with no mark and no time stamp.
  constexpr auto kOpenFailure = Cp1251(u8"Ошибка открытия файла:");
  Check(all.size() > 2 && all[0].empty() && all[1].starts_with(kOpenFailure.view()) &&
            all[1].size() > kOpenFailure.size(),
        "the log starts with an empty line and " + Quoted(all.size() > 1 ? all[1] : ""));

  const auto has = [&](char mark, std::string_view text, bool prefix = false) {
    return std::any_of(lines.begin(), lines.end(), [&](const LogLine& l) {
      return l.mark == mark && (prefix ? l.text.starts_with(text) : l.text == text);
    });
  };
  const auto expect = [&](char mark, std::string_view text, bool prefix = false) {
    Check(has(mark, text, prefix),
          std::string("log line ") + mark + " " + Quoted(text) + (prefix ? " ..." : ""));
  };
  expect('+', "[COM5]:  Send: 02 03 06 33 DA 81");
  expect('+', "[COM5]:  Receive: 02 03 06 14 67 D4");  // the device waits for bills
  expect('?', Cp1251(u8"Состояние: 10-00. Включено питание"));
  expect('?', Cp1251(u8"Состояние: 19-00. Выключен"));
  expect('?', Cp1251(u8"Состояние: 14-00. Ожидается вставка купюры"));
  expect('?', Cp1251(u8"Состояние: 80-04. Принять купюру?"));
  expect('?', Cp1251(u8"Состояние: 81-04. Складирование купюры."));
  expect('?', Cp1251(u8"Состояние: 80-05. Принять купюру?"));
  expect('?', Cp1251(u8"Состояние: 82-05. Возврат купюры."));
  expect('?', Cp1251(u8"Состояние: 80-06. Принять купюру?"));
  expect('?', Cp1251(u8"Состояние: 81-06. Складирование купюры."));
  constexpr auto kThreadError = Cp1251(u8"Ошибка в потоке: ");
  Check(!has('?', kThreadError, true), "no " + Quoted(kThreadError) + " line");
}

}  // namespace

int main() {
  // Each run checks the lines of its own drivers only.
  DeleteFileA(kLogPath);
  Library lib;
  if (LoadDriverLibrary(lib)) {
    RunCppHost(lib);
    RunCHost(lib);
    RunOpenHost(lib);
    CheckLog();
    Check(FreeLibrary(lib.module) != 0, "FreeLibrary");
  }
  std::printf("%s: %d check(s) failed\n", failures == 0 ? "PASSED" : "FAILED", failures);
  return failures == 0 ? 0 : 1;
}
