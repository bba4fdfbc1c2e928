#include <windows.h>

#include "common/system_message.h"

namespace notavero {

std::string SystemMessage(uint32_t code) {
  char buffer[512];
  DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                              buffer, sizeof(buffer), nullptr);
  while (size > 0 && (static_cast<unsigned char>(buffer[size - 1]) <= ' ' || buffer[size - 1] == '.')) {
    --size;
  }
  if (size == 0) {
    return "error " + std::to_string(code);
  }
  return std::string(buffer, size);
}

}  // namespace notavero
