// The serial devices of a POSIX machine: /dev/ttyS* with a UART behind them,
// /dev/ttyUSB*, /dev/ttyACM* and the links in /dev/serial/by-id.  Nothing
// here waits: a port is opened with O_NONBLOCK, asked and closed at once.

#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "tools/notavero/ports.h"

namespace notavero::tool {

namespace {

namespace fs = std::filesystem;

constexpr const char* kDeviceDir = "/dev";
constexpr const char* kByIdDir = "/dev/serial/by-id";
constexpr const char* kSysTty = "/sys/class/tty";

// The number after `prefix` in a device name (ttyS12 -> 12); none when the
// name is not the prefix followed by digits only.
std::optional<unsigned> NumberAfter(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
    return std::nullopt;
  }
  unsigned number = 0;
  for (std::size_t i = prefix.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9' || number > 100000) {
      return std::nullopt;
    }
    number = number * 10 + static_cast<unsigned>(name[i] - '0');
  }
  return number;
}

// The device names /dev/<prefix><N>, in order of N.
std::vector<std::string> DevicesNamed(const std::string& prefix) {
  std::vector<std::pair<unsigned, std::string>> found;
  std::error_code error;
  for (fs::directory_iterator it(kDeviceDir, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (const auto number = NumberAfter(name, prefix)) {
      found.emplace_back(*number, name);
    }
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  names.reserve(found.size());
  for (auto& entry : found) {
    names.push_back(std::move(entry.second));
  }
  return names;
}

// The first line of a small sysfs file, or "".
std::string ReadFirstLine(const fs::path& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// The kernel driver and, for a USB device, its ids and product name, from
// sysfs: "driver <name>, USB 1234:abcd, <product>".  "" when there is no
// sysfs.
std::string SysfsDescription(const std::string& name) {
  std::error_code error;
  const fs::path device = fs::canonical(fs::path(kSysTty) / name / "device", error);
  if (error) {
    return "";
  }
  std::string text;
  const fs::path driver = fs::read_symlink(device / "driver", error);
  if (!error) {
    text = "driver " + driver.filename().string();
  }
  // The USB device is a few levels above the tty's interface.
  fs::path usb = device;
  for (int level = 0; level < 4 && !usb.empty() && usb != usb.root_path(); ++level, usb = usb.parent_path()) {
    const std::string vendor = ReadFirstLine(usb / "idVendor");
    if (vendor.empty()) {
      continue;
    }
    text +=
        (text.empty() ? "" : ", ") + std::string("USB ") + vendor + ":" + ReadFirstLine(usb / "idProduct");
    if (const std::string product = ReadFirstLine(usb / "product"); !product.empty()) {
      text += ", " + product;
    }
    break;
  }
  return text;
}

// The kernel's UART type as people know it.
std::string UartName(int type) {
  constexpr std::array<const char*, 5> kNames = {"unknown", "8250", "16450", "16550", "16550A"};
  return type >= 0 && type < static_cast<int>(kNames.size()) ? kNames[static_cast<std::size_t>(type)]
                                                             : "type " + std::to_string(type);
}

std::string SystemMessage(int error) {
  return std::generic_category().message(error);
}

// Whether a UART answers behind /dev/ttyS<N>: its line settings can be read
// and, where the kernel says, its UART type is known.  The description says
// what was found, or why it could not be looked at.
bool SerialPortAnswers(const std::string& path, const std::string& name, std::string& description) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == EBUSY) {
      description = "in use by another program";
      return true;
    }
    if (error == EIO || error == ENXIO || error == ENODEV) {
      return false;  // no UART behind the node
    }
    // Not allowed to open it: the kernel's word on the UART type, if any.
    const std::string type = ReadFirstLine(fs::path(kSysTty) / name / "type");
    if (type == "0") {
      return false;
    }
    description = "not checked: " + SystemMessage(error);
    return true;
  }
  bool answers = false;
  termios settings{};
  if (tcgetattr(fd, &settings) == 0) {
    answers = true;
    description = "serial port";
  }
#ifdef __linux__
  serial_struct serial{};
  if (answers && ioctl(fd, TIOCGSERIAL, &serial) == 0) {
    answers = serial.type != PORT_UNKNOWN;
    description = "UART " + UartName(serial.type);
    if (serial.port != 0) {
      std::array<char, 32> io{};
      std::snprintf(io.data(), io.size(), ", I/O 0x%lx", static_cast<unsigned long>(serial.port));
      description += io.data();
    }
    if (serial.irq != 0) {
      description += ", IRQ " + std::to_string(serial.irq);
    }
  }
#endif
  close(fd);
  return answers;
}

// The program that holds a lock (flock, as the driver takes) on the device
// `node`: "PROGRAM (pid N)", or "" when none does.  From /proc/locks, whose
// lines read "1: FLOCK ADVISORY WRITE PID MAJ:MIN:INODE 0 EOF".
std::string LockHolder(const struct stat& node) {
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream fields(line);
    std::string number;
    std::string type;
    std::string mode;
    std::string access;
    std::string pid;
    std::string file;
    if (!(fields >> number >> type) || type == "->") {
      continue;  // a waiter's line
    }
    fields >> mode >> access >> pid >> file;
    unsigned major_number = 0;
    unsigned minor_number = 0;
    unsigned long long inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%llu", &major_number, &minor_number, &inode) != 3 ||
        major_number != major(node.st_dev) || minor_number != minor(node.st_dev) || inode != node.st_ino) {
      continue;
    }
    const std::string program = ReadFirstLine(fs::path("/proc") / pid / "comm");
    return (program.empty() ? std::string("a program") : program) + " (pid " + pid + ")";
  }
  return "";
}

// The name of group `gid`, or its number.
std::string GroupName(gid_t gid) {
  group entry{};
  group* found = nullptr;
  std::array<char, 4096> buffer{};
  if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return found->gr_name;
  }
  return std::to_string(gid);
}

void AddDevices(std::vector<SerialPortInfo>& ports, const std::string& prefix, SerialPortInfo::Kind kind,
                const std::string& what) {
  for (const auto& name : DevicesNamed(prefix)) {
    std::string description = what;
    if (const std::string sysfs = SysfsDescription(name); !sysfs.empty()) {
      description += ", ";
      description += sysfs;
    }
    ports.push_back({std::string(kDeviceDir) + "/" + name, kind, std::move(description), "", ""});
  }
}

}  // namespace

std::string PortProblem(const std::string& path) {
  struct stat node {};
  if (stat(path.c_str(), &node) != 0) {
    return "";
  }
  if (std::string holder = LockHolder(node); !holder.empty()) {
    return "busy: held by " + holder;
  }
  if (access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
    const std::string group_name = GroupName(node.st_gid);
    return "no permission: the device is open to group " + group_name +
           "; add the user to it (sudo adduser " + "$USER " + group_name + ") and log in again";
  }
  return "";
}

const char* KindName(SerialPortInfo::Kind kind) {
  switch (kind) {
    case SerialPortInfo::Kind::kSerial:
      return "serial";
    case SerialPortInfo::Kind::kUsbSerial:
      return "usb-serial";
    case SerialPortInfo::Kind::kUsbModem:
      return "usb-modem";
    case SerialPortInfo::Kind::kLink:
      return "link";
  }
  return "serial";
}

std::vector<SerialPortInfo> ListSerialPorts() {
  std::vector<SerialPortInfo> ports;
  for (const auto& name : DevicesNamed("ttyS")) {
    const std::string path = std::string(kDeviceDir) + "/" + name;
    std::string description;
    if (SerialPortAnswers(path, name, description)) {
      ports.push_back({path, SerialPortInfo::Kind::kSerial, "built-in serial port, " + description, "", ""});
    }
  }
  AddDevices(ports, "ttyUSB", SerialPortInfo::Kind::kUsbSerial, "USB serial adapter");
  AddDevices(ports, "ttyACM", SerialPortInfo::Kind::kUsbModem, "USB modem-class serial device");

  std::vector<SerialPortInfo> links;
  std::error_code error;
  for (fs::directory_iterator it(kByIdDir, error), end; !error && it != end; it.increment(error)) {
    std::error_code resolve_error;
    const fs::path target = fs::canonical(it->path(), resolve_error);
    links.push_back({it->path().string(), SerialPortInfo::Kind::kLink,
                     resolve_error ? "stable name, its device is gone" : "stable name of " + target.string(),
                     resolve_error ? "" : target.string(), ""});
  }
  std::sort(links.begin(), links.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
  ports.insert(ports.end(), links.begin(), links.end());
  for (auto& port : ports) {
    port.problem = PortProblem(port.path);
  }
  return ports;
}

}  // namespace notavero::tool
