// notavero ports: one line per serial device, path and what it is, or the
// same as JSON for programs.

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/notavero/commands.h"
#include "tools/notavero/ports.h"

namespace notavero::tool {

namespace {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (byte < 0x20) {
      std::array<char, 8> escape{};
      std::snprintf(escape.data(), escape.size(), "\\u%04x", byte);
      out += escape.data();
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

}  // namespace

int PortsCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::puts(
        "usage: notavero ports [--json] [PATH...]\n\n"
        "Lists the serial devices present, one a line: the path, then what it is,\n"
        "and why this user cannot open it now, when so: no permission (with the group\n"
        "to join), or busy (with the program that holds it).  With PATHs, only those.\n"
        "Built-in ports (/dev/ttyS*) are listed only when a UART answers behind them;\n"
        "USB serial adapters (/dev/ttyUSB*), USB modem-class devices (/dev/ttyACM*)\n"
        "and the stable names in /dev/serial/by-id (with the device each names)\n"
        "follow.  A pseudo-terminal is not a serial device and is never listed.\n"
        "--json prints an array of {\"path\", \"kind\", \"description\", \"target\",\n"
        "\"problem\"}; kind is serial, usb-serial, usb-modem or link (a PATH given: the\n"
        "device's own kind is not looked up, \"serial\"), target a link's device or\n"
        "null, problem a text or null.\n"
        "Give the path to the driver as NOTAVERO_COM<n>=PATH.");
    return kExitOk;
  }
  bool json = false;
  std::vector<SerialPortInfo> named;
  for (const auto& arg : args) {
    if (arg == "--json") {
      json = true;
    } else if (!arg.empty() && arg[0] == '/') {
      named.push_back(
          {arg, SerialPortInfo::Kind::kSerial, "named on the command line", "", PortProblem(arg)});
    } else {
      return UsageError("ports: unknown argument '" + arg + "' (try 'notavero ports --help')");
    }
  }
  const auto ports = named.empty() ? ListSerialPorts() : named;
  if (json) {
    std::string out = "[";
    for (const auto& port : ports) {
      out += std::string(out.size() > 1 ? ",\n " : "") + "{\"path\": " + JsonString(port.path) +
             ", \"kind\": \"" + KindName(port.kind) + "\", \"description\": " + JsonString(port.description) +
             ", \"target\": " + (port.target.empty() ? "null" : JsonString(port.target)) +
             ", \"problem\": " + (port.problem.empty() ? "null" : JsonString(port.problem)) + "}";
    }
    std::printf("%s]\n", out.c_str());
    return kExitOk;
  }
  std::size_t width = 0;
  for (const auto& port : ports) {
    width = std::max(width, port.path.size());
  }
  for (const auto& port : ports) {
    std::printf("%-*s  %s%s%s\n", static_cast<int>(width), port.path.c_str(), port.description.c_str(),
                port.problem.empty() ? "" : "  -- ", port.problem.c_str());
  }
  if (ports.empty()) {
    std::fputs("notavero: ports: no serial device found\n", stderr);
  }
  return kExitOk;
}

}  // namespace notavero::tool
