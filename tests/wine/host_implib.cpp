// A host linked against Notavero.dll's import library (libNotavero.dll.a of
// the SDK archive, with the archive's headers) instead of loading it at run
// time: the Windows loader resolves GetDriver
// and the C interface by their names when the program starts.  On x86 this
// proves that the decorated symbol the compiler references (GetDriver@8)
// reaches the undecorated export.  Port 0 opens no port, so no device is
// needed.  Prints one line per check; exits 1 when any failed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/cp1251.h"
#include "driver/notavero.h"
#include "driver/notavero_host.h"
#include "driver/notavero_version.h"

namespace {

int failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
  if (!ok) {
    ++failures;
  }
}

bool NV_CALL OnBill(int32_t, int64_t) {
  return false;
}

}  // namespace

int main() {
  const HMODULE module = GetModuleHandleA("Notavero.dll");
  Check(module != nullptr, "Notavero.dll loaded with the program");
  const auto by_ordinal = reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(1)));
  Check(by_ordinal == reinterpret_cast<void*>(&GetDriver), "the imported GetDriver is ordinal 1");

  Check(std::string_view(nv_library_version()) == NV_VERSION_STRING,
        std::string("nv_library_version() is the packaged header's ") + NV_VERSION_STRING);

  char error[256];
  std::memset(error, 'x', sizeof error);
  // The port's text first, then the device and the system's reason.
  Check(nv_get_driver(9, nullptr, nullptr, error, sizeof error) == nullptr &&
            std::string_view(error).starts_with(notavero::Cp1251(u8"Невозможно открыть COM9 (").view()),
        "nv_get_driver(9) fails with the port's message");

  notavero::NotaveroDriver* driver = GetDriver(0, OnBill);
  Check(driver != nullptr, "GetDriver(0) returns a driver without a port");
  if (driver != nullptr) {
    unsigned char version[14] = {};
    driver->GetVersion(version);
    Check(version[0] == 13 && std::memcmp(version + 1, "v1.0#Notavero", 13) == 0, "its version");
    nv_free_driver(reinterpret_cast<nv_driver*>(driver));
  }
  nv_driver* c_driver = nv_get_driver(0, nullptr, nullptr, nullptr, 0);
  Check(c_driver != nullptr, "nv_get_driver(0) returns a driver without a port");
  nv_set_enabled(c_driver, 1);
  nv_free_driver(c_driver);

  std::printf("%s: %d check(s) failed\n", failures == 0 ? "PASSED" : "FAILED", failures);
  return failures == 0 ? 0 : 1;
}
