// The library's boundary with the host: GetDriver for C++ hosts and the C
// interface of driver/notavero.h.  Both hand out the same object: the
// NotaveroDriver part of a TNotavero, which is at its start.

#include <algorithm>
#include <cstring>
#include <exception>

#include "driver/notavero.h"
#include "driver/notavero_host.h"
#include "driver/notavero_unit.h"

namespace notavero {
namespace {

nv_driver* ToHandle(TNotavero* driver) {
  return reinterpret_cast<nv_driver*>(static_cast<NotaveroDriver*>(driver));
}

TNotavero* FromHandle(nv_driver* handle) {
  return static_cast<TNotavero*>(reinterpret_cast<NotaveroDriver*>(handle));
}

// Copies text NUL-terminated and cut to size bytes; nothing when size is 0.
void CopyText(const char* text, char* buffer, std::size_t size) {
  if (buffer == nullptr || size == 0) {
    return;
  }
  const std::size_t n = std::min(std::strlen(text), size - 1);
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
}

}  // namespace
}  // namespace notavero

using notavero::FromHandle;
using notavero::TNotavero;

// No exception leaves the library: a host on 32-bit Windows, or one built
// with another compiler, could not catch it (each side carries its own
// runtime) and would end.  A driver that cannot be created is null;
// nv_get_driver gives the reason as text.
extern "C" NV_API notavero::NotaveroDriver* NV_CALL GetDriver(uint8_t port,
                                                              notavero::TBillCallback callback) noexcept {
  try {
    return new TNotavero(port, notavero::TBillSink{callback, nullptr, nullptr});
  } catch (...) {
    return nullptr;
  }
}

extern "C" {

NV_API nv_driver* nv_get_driver(uint8_t port, nv_bill_callback callback, void* user, char* error,
                                size_t error_size) {
  try {
    return notavero::ToHandle(new TNotavero(port, notavero::TBillSink{nullptr, callback, user}));
  } catch (const std::exception& failure) {
    notavero::CopyText(failure.what(), error, error_size);
  } catch (...) {
    notavero::CopyText("unknown error", error, error_size);
  }
  return nullptr;
}

NV_API void nv_free_driver(nv_driver* driver) {
  delete FromHandle(driver);
}

NV_API void nv_get_version(nv_driver* driver, unsigned char* buffer) {
  FromHandle(driver)->GetVersion(buffer);
}

NV_API size_t nv_get_status_text(nv_driver* driver, char* buffer, size_t size) {
  return FromHandle(driver)->GetStatusText(buffer, size);
}

NV_API void nv_set_enabled(nv_driver* driver, int enabled) {
  FromHandle(driver)->SetEnabled(enabled != 0);
}

}  // extern "C"
