// Pseudo-terminals for the POSIX serial tests.
#pragma once

#include <fcntl.h>
#include <stdlib.h>

#include <cstdint>
#include <string>

namespace notavero::test {

// Opens a pseudo-terminal's master side and names its slave as the device of
// COM<port> for the port under test.  Returns the master's descriptor, or -1.
inline int OpenPtyAsPort(uint16_t port, std::string& slave) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
    return -1;
  }
  slave = ptsname(master);
  setenv(("NOTAVERO_COM" + std::to_string(port)).c_str(), slave.c_str(), 1);
  return master;
}

}  // namespace notavero::test
