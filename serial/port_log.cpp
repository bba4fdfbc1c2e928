// The port's two log operations: every line names the port, and the bytes
// of a frame are shown in hexadecimal.  Both format on the stack, so logging
// the traffic allocates nothing of its own.

#include <algorithm>
#include <array>
#include <cstdio>

#include "common/hex.h"
#include "log/logger.h"
#include "serial/com_port.h"

namespace notavero {

namespace {

// Room for a caption and a whole frame of 255 bytes, three characters each.
constexpr std::size_t kPacketLineSize = 32 + 3 * 256;
constexpr std::size_t kPortPrefixSize = 16;  // "[COM65535]:  "
// A port opened by its path names the path, cut to this many characters.
constexpr int kPathInPrefix = 96;

}  // namespace

void TComPort::LogPortLine(std::string_view text) {
  std::array<char, kPortPrefixSize + kPathInPrefix + kPacketLineSize> line{};
  const int prefix =
      DevicePath().empty()
          ? std::snprintf(line.data(), line.size(), "[COM%u]:  ", unsigned{PortNumber()})
          : std::snprintf(line.data(), line.size(), "[%.*s]:  ", kPathInPrefix, DevicePath().c_str());
  const std::size_t used = prefix > 0 ? static_cast<std::size_t>(prefix) : 0;
  const std::size_t n = std::min(text.size(), line.size() - used);
  std::copy_n(text.begin(), n, line.begin() + static_cast<std::ptrdiff_t>(used));
  LogWrite(LogLevel::kDebug, std::string_view(line.data(), used + n));
}

void TComPort::LogPacket(std::string_view caption, const uint8_t* bytes, std::size_t count) {
  std::array<char, kPacketLineSize> text{};
  std::size_t n = std::min(caption.size(), text.size());
  std::copy_n(caption.begin(), n, text.begin());
  for (std::size_t i = 0; i < count && n + 3 <= text.size(); ++i) {
    text[n] = ' ';
    PutHex2(&text[n + 1], bytes[i]);
    n += 3;
  }
  LogPortLine(std::string_view(text.data(), n));
}

}  // namespace notavero
