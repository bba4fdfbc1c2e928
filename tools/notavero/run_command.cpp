// notavero run: the driver on a real port, with a host that prints what
// happens and decides escrowed bills by a policy.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <system_error>

#include "driver/platform.h"
#include "tools/notavero/commands.h"
#include "tools/notavero/host.h"

namespace notavero::tool {

namespace {

// Ctrl-C (SIGINT) and SIGTERM: counted, and a byte goes into a pipe whose
// read end wakes the main loop and a question waiting on the terminal.
std::atomic<int> g_interrupts{0};
static_assert(std::atomic<int>::is_always_lock_free);
int g_interrupt_pipe[2] = {-1, -1};

extern "C" void OnInterrupt(int /*signal*/) {
  g_interrupts.fetch_add(1);
  const int saved_errno = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(g_interrupt_pipe[1], &byte, 1);
  errno = saved_errno;
}

// How often the main loop looks for the outcome of a bill in hand at Ctrl-C,
// and for reports when they cannot wake it.
constexpr std::chrono::milliseconds kWatchPeriod{200};
// How long a bill in hand at Ctrl-C may take to be stacked or returned
// before the driver is freed anyway.
constexpr std::chrono::seconds kFinishBillLimit{10};

// Waits for an interrupt or a report of the driver, up to `timeout` if
// there is one; true when there has been an interrupt.  An idle device
// wakes nothing here.
bool WaitForInterrupt(const Host& host, std::optional<std::chrono::milliseconds> timeout) {
  if (host.WakeFd() < 0 && !timeout) {
    timeout = kWatchPeriod;  // reports wake nothing: they are looked for
  }
  std::array<pollfd, 2> wake{{{g_interrupt_pipe[0], POLLIN, 0}, {host.WakeFd(), POLLIN, 0}}};
  ::poll(wake.data(), wake.size(), timeout ? static_cast<int>(timeout->count()) : -1);
  return g_interrupts.load() != 0;
}

}  // namespace

namespace {

// The driver runs without its log when it cannot write it, and says nothing
// (the host is not to be troubled): the technician is told here, before it
// starts.  The file, or the nearest directory of its path that exists (the
// driver makes the rest), must be writable.
void WarnIfNoLog() {
  const std::string log = notavero::LogFilePath().value;
  std::string path = log;
  if (::access(path.c_str(), W_OK) == 0) {
    return;
  }
  int error = errno;
  while (error == ENOENT && path.find('/') != std::string::npos) {
    path.resize(path.find_last_of('/'));
    const std::string dir = path.empty() ? "/" : path;
    error = ::access(dir.c_str(), W_OK) == 0 ? 0 : errno;
  }
  if (error != 0) {
    std::fprintf(stderr,
                 "notavero: warning: the driver cannot write its log %s (%s): it runs without one; set "
                 "NOTAVERO_LOG to a file you may write\n",
                 log.c_str(), std::generic_category().message(error).c_str());
  }
}

}  // namespace

int RunCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::puts(
        "usage: notavero run (--port N | --device PATH) [--stack | --return | --ask] [--no-enable]\n\n"
        "Runs the driver on serial port N (on Linux the device named by the\n"
        "environment variable NOTAVERO_COM<N>, else /dev/ttyS<N-1>) or on the device\n"
        "PATH (e.g. /dev/ttyUSB0 or a name in /dev/serial/by-id), enables bill\n"
        "acceptance (unless --no-enable) and prints, each on a line with the time:\n"
        "  state 14 idling: <the device's text>   every state change\n"
        "  link: online, no answer, port lost     the line's health (a lost port is\n"
        "                                         reopened every second)\n"
        "  rejected: insertion (reason 60)        a bill the device refused\n"
        "  escrow, stacked, returned, unconfirmed bill events\n"
        "Escrowed bills are stacked (--stack, the default), returned (--return) or\n"
        "decided on the terminal (--ask).  Ctrl-C answers a waiting question with\n"
        "\"return\", lets a bill in hand be stacked or returned (up to 10 s; Ctrl-C again\n"
        "stops at once), frees the driver and prints its counters (stacked by value,\n"
        "amount, returned, rejected, time-outs, bad frames, failed cycles, power-ups,\n"
        "reconnects, unconfirmed) and the total credited.  The log goes where\n"
        "NOTAVERO_LOG says (default /var/log/notavero/Notavero.log).");
    return kExitOk;
  }
  int port = -1;
  std::string device;
  EscrowPolicy policy = EscrowPolicy::kStack;
  bool enable = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--port" && i + 1 < args.size()) {
      const std::string& value = args[++i];
      std::size_t used = 0;
      try {
        port = std::stoi(value, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used != value.size() || port < 1 || port > 255) {
        return UsageError("run: --port takes a number from 1 to 255, not '" + value + "'");
      }
    } else if (arg == "--device" && i + 1 < args.size()) {
      device = args[++i];
      if (device.empty()) {
        return UsageError("run: --device takes a path");
      }
    } else if (arg == "--stack") {
      policy = EscrowPolicy::kStack;
    } else if (arg == "--return") {
      policy = EscrowPolicy::kReturn;
    } else if (arg == "--ask") {
      policy = EscrowPolicy::kAsk;
    } else if (arg == "--no-enable") {
      enable = false;
    } else {
      return UsageError("run: unknown argument '" + arg + "' (try 'notavero run --help')");
    }
  }
  if ((port < 0) == device.empty()) {
    return UsageError("run: give exactly one of --port N and --device PATH");
  }

  WarnIfNoLog();
  if (::pipe2(g_interrupt_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("notavero: pipe");
    return kExitNegative;
  }
  Host host(policy);
  host.SetInterruptFd(g_interrupt_pipe[0]);
  if (!(device.empty() ? host.Start(static_cast<uint8_t>(port)) : host.StartDevice(device))) {
    return kExitNegative;
  }
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  if (enable) {
    host.SetEnabled(true);
    host.KeepEnabled(true);
  }
  std::optional<std::chrono::milliseconds> renewal;
  do {
    renewal = host.Watch();
  } while (!WaitForInterrupt(host, renewal));

  // A bill in escrow or on its way gets the answer given (a question cut
  // short returns it) and its outcome is reported before the driver goes: a
  // driver being freed sends no more commands.  Ctrl-C again stops at once.
  host.Watch();  // what the driver reported so far comes first
  if (host.BillsInHand() > 0) {
    PrintLine("finishing the bill in hand (Ctrl-C again to stop at once)");
    const auto deadline = std::chrono::steady_clock::now() + kFinishBillLimit;
    while (!host.WaitForBillsInHand(kWatchPeriod) && g_interrupts.load() < 2 &&
           std::chrono::steady_clock::now() < deadline) {
      host.Watch();
    }
  }
  host.Stop();  // nv_free_driver
  host.PrintCounters();
  std::printf("stopped: %d stacked, %d returned, %s credited\n", host.StackedCount(), host.ReturnedCount(),
              FormatAmount(host.Credited()).c_str());
  return kExitOk;
}

}  // namespace notavero::tool
