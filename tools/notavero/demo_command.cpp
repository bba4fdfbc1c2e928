// notavero demo: the driver against the built-in validator simulator on a
// pseudo-terminal, with a few bills, to show the whole flow on a machine
// without a device.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "protocol/codes.h"
#include "sim/sim_server.h"
#include "tools/notavero/commands.h"
#include "tools/notavero/host.h"

namespace notavero::tool {

namespace {

using namespace std::chrono_literals;

constexpr uint8_t kDemoPort = 5;
constexpr auto kStepTimeout = 30s;
constexpr std::chrono::milliseconds kWatchPeriod{20};

// Runs the host's watch until `done` holds or the time-out passes.
bool WatchUntil(Host& host, const std::function<bool()>& done,
                std::chrono::milliseconds timeout = kStepTimeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    host.Watch();
    std::this_thread::sleep_for(kWatchPeriod);
  }
  host.Watch();
  return true;
}

std::string DefaultLogPath() {
  std::error_code error;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
  const auto dir = error ? std::filesystem::current_path() : exe.parent_path();
  return (dir / "demo" / "Notavero.log").string();
}

struct Step {
  const char* what;
  uint8_t bill_type;
  bool settles;  // the host hears of it (stacked or returned)
};

}  // namespace

int DemoCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::puts(
        "usage: notavero demo\n\n"
        "Starts the validator simulator on a pseudo-terminal, points COM5 at it\n"
        "(NOTAVERO_COM5), runs the driver with a host that stacks every bill but the\n"
        "5000 note, and inserts four bills: 100, a 200 note that the driver never\n"
        "enables (the device refuses it), 5000 (returned by the host) and 10.  Prints\n"
        "the flow, the driver's counters and the total credited; exits 0 when host\n"
        "and device agree.\n"
        "The log goes to NOTAVERO_LOG, by default demo/Notavero.log beside this program.");
    return kExitOk;
  }
  if (!args.empty()) {
    return UsageError("demo: takes no arguments (try 'notavero demo --help')");
  }

  sim::SimOptions options;
  options.bill_table[8] = sim::BillTableEntry{2, {'R', 'U', 'S'}, 2};  // 200: never enabled
  std::unique_ptr<sim::SimServer> device;
  try {
    device = sim::SimServer::Start(options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "notavero: demo: cannot start the simulator: %s\n", error.what());
    return kExitNegative;
  }
  // The driver finds its port and its log through the environment; no
  // other thread runs yet.
  ::setenv("NOTAVERO_COM5", device->SlavePath().c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  const char* log = std::getenv("NOTAVERO_LOG");              // NOLINT(concurrency-mt-unsafe): no threads yet
  const std::string log_path = log != nullptr && *log != '\0' ? log : DefaultLogPath();
  ::setenv("NOTAVERO_LOG", log_path.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  std::printf("simulator on %s as COM%u, log in %s\n", device->SlavePath().c_str(), unsigned{kDemoPort},
              log_path.c_str());

  Host host(EscrowPolicy::kStack);
  host.SetDecider([](int64_t amount) { return amount != int64_t{5000} * 10000; });
  if (!host.Start(kDemoPort)) {
    return kExitNegative;
  }
  host.SetEnabled(true);
  host.KeepEnabled(true);

  // Both sides idle: the device waits for a bill and the driver has seen it.
  const auto idle = [&] {
    return device->Status().state == dsWaitingForBill && (host.State() & 0xFF) == dsWaitingForBill;
  };
  bool ok = WatchUntil(host, idle);
  constexpr Step kSteps[] = {
      {"a 100 note", 4, true},
      {"a 200 note, a value the driver never enables", 8, false},
      {"a 5000 note, which the host returns", 7, true},
      {"a 10 note", 2, true},
  };
  int settled = 0;
  for (const Step& step : kSteps) {
    if (!ok) {
      break;
    }
    std::printf("---- insert %s\n", step.what);
    std::fflush(stdout);
    const std::size_t mark = device->TraceMark();
    device->Insert(step.bill_type);
    if (step.settles) {
      ++settled;
      ok = WatchUntil(host, [&] { return host.StackedCount() + host.ReturnedCount() >= settled; });
    } else {
      ok = WatchUntil(host, [&] {
        return device->WaitForTrace(
            [](const sim::TraceEntry& entry) {
              return entry.direction == sim::Direction::kSent && entry.bytes.size() > 3 &&
                     entry.bytes[3] == dsBillError;
            },
            0ms, mark);
      });
    }
    ok = ok && WatchUntil(host, idle);
  }
  host.Stop();
  host.PrintCounters();
  const sim::SimStatus status = device->Status();
  device->Stop();

  const int64_t credited = host.Credited();
  std::printf("---- total credited %s; the device stacked %llu bill(s) worth %llu and returned %llu\n",
              FormatAmount(credited).c_str(), static_cast<unsigned long long>(status.counters.stacked),
              static_cast<unsigned long long>(status.counters.stacked_sum),
              static_cast<unsigned long long>(status.counters.returned));
  const bool agree = credited == static_cast<int64_t>(status.counters.stacked_sum) * 10000;
  if (!ok || !agree) {
    std::fprintf(stderr, "notavero: demo: %s\n", ok ? "host and device disagree" : "a step timed out");
    return kExitNegative;
  }
  return kExitOk;
}

}  // namespace notavero::tool
