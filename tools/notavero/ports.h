// notavero ports: the serial devices present on this machine, for a
// technician looking for the validator's cable.  The listing is a platform
// file of its own (ports_posix.cpp); the subcommand prints it.
#pragma once

#include <string>
#include <vector>

#include "tools/notavero/commands.h"

namespace notavero::tool {

struct SerialPortInfo {
  enum class Kind { kSerial, kUsbSerial, kUsbModem, kLink };
  std::string path;  // /dev/ttyS0, /dev/ttyUSB0, /dev/serial/by-id/...
  Kind kind = Kind::kSerial;
  std::string description;  // what it is, for people: the UART, the USB driver and product
  std::string target;       // a link's device (/dev/ttyUSB0); empty for a device
  std::string problem;      // why this user cannot open it now (no permission, held by a program); "" if none
};

// Built-in serial ports that answer (a UART is there behind the node), USB
// serial adapters, USB modem-class serial devices, and the stable links to
// them, each group in natural order (ttyS2 before ttyS10).  Never blocks.
std::vector<SerialPortInfo> ListSerialPorts();

// Why this user could not open the serial device at `path` now, for people:
// "no permission: ..." (with the group that may, and how to join it) or
// "busy: held by PROGRAM (pid N)" (the program that holds the driver's lock
// on it); "" when neither.  Opens nothing.
std::string PortProblem(const std::string& path);

// "serial", "usb-serial", "usb-modem" or "link".
const char* KindName(SerialPortInfo::Kind kind);

int PortsCommand(const Args& args);

}  // namespace notavero::tool
