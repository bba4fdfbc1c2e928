// notavero: a command-line tool for people who read the driver's logs, wire
// a validator by hand or run the driver from a terminal.

#include <cstdio>
#include <string>
#include <string_view>

#include "driver/notavero_version.h"
#include "tools/notavero/commands.h"
#include "tools/notavero/log_command.h"
#include "tools/notavero/ports.h"

namespace {

using notavero::tool::Args;

struct Subcommand {
  std::string_view name;
  std::string_view summary;
  int (*run)(const Args&);
};

constexpr Subcommand kSubcommands[] = {
    {"frame", "print the frame the driver sends for a command", notavero::tool::FrameCommand},
    {"state", "print the state text of a status word", notavero::tool::StateCommand},
    {"decode", "check a frame's length and CRC and say what it holds", notavero::tool::DecodeCommand},
    {"run", "run the driver on a serial port and print what happens", notavero::tool::RunCommand},
    {"demo", "run the driver against the built-in validator simulator", notavero::tool::DemoCommand},
    {"ports", "list the serial devices present", notavero::tool::PortsCommand},
    {"log", "summarise the driver's log files, or show them as a timeline", notavero::tool::LogCommand},
};

void PrintHelp() {
  std::puts("usage: notavero SUBCOMMAND [ARGS...]\n\nsubcommands:");
  for (const auto& sub : kSubcommands) {
    std::printf("  %-8.*s %.*s\n", static_cast<int>(sub.name.size()), sub.name.data(),
                static_cast<int>(sub.summary.size()), sub.summary.data());
  }
  std::puts("\n'notavero SUBCOMMAND --help' explains one subcommand.");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintHelp();
    return notavero::tool::kExitUsage;
  }
  const std::string_view name = argv[1];
  if (name == "--version") {
    std::puts("notavero " NV_VERSION_STRING);
    return notavero::tool::kExitOk;
  }
  if (name == "--help" || name == "-h" || name == "help") {
    PrintHelp();
    return notavero::tool::kExitOk;
  }
  const Args args(argv + 2, argv + argc);
  for (const auto& sub : kSubcommands) {
    if (sub.name == name) {
      return sub.run(args);
    }
  }
  return notavero::tool::UsageError("unknown subcommand '" + std::string(name) + "' (try 'notavero --help')");
}
