// notavero run: the driver on a real port, with a host that prints what
// happens and decides escrowed bills by a policy.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>

#include "tools/notavero/commands.h"
#include "tools/notavero/host.h"

namespace notavero::tool {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int /*signal*/) {
  g_interrupted = 1;
}

// How often the state text is looked at.
constexpr std::chrono::milliseconds kWatchPeriod{50};

}  // namespace

int RunCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::puts(
        "usage: notavero run --port N [--stack | --return | --ask] [--no-enable]\n\n"
        "Runs the driver on serial port N (on Linux the device named by the\n"
        "environment variable NOTAVERO_COM<N>, else /dev/ttyS<N-1>), enables bill\n"
        "acceptance (unless --no-enable) and prints every state change and bill event.\n"
        "Escrowed bills are stacked (--stack, the default), returned (--return) or\n"
        "decided on the terminal (--ask).  Ctrl-C stops the driver and prints the total\n"
        "credited.  The log goes where NOTAVERO_LOG says (default /var/log/notavero/Notavero.log).");
    return kExitOk;
  }
  int port = -1;
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
  if (port < 0) {
    return UsageError("run: --port N is required");
  }

  Host host(policy);
  if (!host.Start(static_cast<uint8_t>(port))) {
    return kExitNegative;
  }
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  if (enable) {
    host.SetEnabled(true);
    host.KeepEnabled(true);
  }
  while (g_interrupted == 0) {
    host.Watch();
    std::this_thread::sleep_for(kWatchPeriod);
  }
  host.Stop();
  std::printf("stopped: %d stacked, %d returned, %s credited\n", host.StackedCount(), host.ReturnedCount(),
              FormatAmount(host.Credited()).c_str());
  return kExitOk;
}

}  // namespace notavero::tool
