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
};

// Built-in serial ports that answer (a UART is there behind the node), USB
// serial adapters, USB modem-class serial devices, and the stable links to
// them, each group in natural order (ttyS2 before ttyS10).  Never blocks.
std::vector<SerialPortInfo> ListSerialPorts();

// "serial", "usb-serial", "usb-modem" or "link".
const char* KindName(SerialPortInfo::Kind kind);

int PortsCommand(const Args& args);

}  // namespace notavero::tool
