// The simulator's text commands, one a line, as a technician types them on
// the program's stdin or writes them in a script, and as tests send them
// through SimServer::Command.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "sim/device_model.h"

namespace notavero::sim {

struct CommandResult {
  bool ok = false;
  std::string text;           // one line for people: what was done, or why not
  bool power_cycled = false;  // the line server drops a reply still on its way
};

struct SimStatus {
  uint8_t state = 0;
  uint8_t sub_code = 0;
  uint32_t enabled_mask = 0;
  BillCounters counters;
  uint64_t frames_received = 0;
  PendingFaults faults;
  // The line server's: the line's path or "unplugged", and how many times it
  // was plugged again.  Empty for a device model without a line.
  std::string line;
  uint64_t replugs = 0;
};

SimStatus StatusOf(const DeviceModel& model);

// "state=81 sub=04 enabled=0000FC stacked=1 stacked_sum=100 returned=0
// returned_sum=0 stacked_types=4:1 returned_types=- text=<state text, UTF-8>";
// with a line, "line=/dev/pts/3 replugs=0" (or "line=unplugged") before text=.
std::string FormatStatus(const SimStatus& status);

// Runs one command line on the model.  Blank lines and '#' comments succeed
// and do nothing.  Unknown commands and bad arguments change nothing.
CommandResult RunDeviceCommand(DeviceModel& model, std::string_view line, SimTime now);

// The command summary that --help and the 'help' command print.
std::string_view CommandHelp();

}  // namespace notavero::sim
