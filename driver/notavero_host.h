// C++ interface of the driver.  Its object may be used from hosts built with
// GCC or clang (Linux, mingw-w64), Visual C++ or clang-cl (docs/windows.md
// explains why the layout agrees); other languages use driver/notavero.h.
//
//   auto* driver = GetDriver(5, OnBill);    // null when COM5 cannot be opened
//   // An enable made before the driver has read the bill table is used up on
//   // an empty table and enables nothing: enable once the state text reads
//   // "Выключен" (disabled: the table is read), and again after every power
//   // cut of the validator (the text goes through the power-up states).
//   char text[64];
//   while (driver->GetStatusText(text, sizeof text), !IsDisabledText(text)) { Sleep(100); }
//   driver->SetEnabled(true);
//   ...
//   nv_free_driver(reinterpret_cast<nv_driver*>(driver));   // stops and releases it
//
// (IsDisabledText: the text equals "\xC2\xFB\xEA\xEB\xFE\xF7\xE5\xED", "Выключен" in
// Windows-1251; examples/cpp/get_driver.cpp is a whole host that does this.)
// Hosts of the C interface (nv_open, nv_set_enabled) need none
// of this: their request stands, and the driver carries it out once the table
// is read and again after every power cut.
//
// The object's virtual table holds, in this order: DataReceived (the serial
// port's hook, not for the host), GetVersion, SetEnabled, GetStatusText.
// The host never deletes the object itself: `nv_free_driver` stops the
// polling thread and then releases everything.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/notavero.h"

namespace notavero {

enum TBillEvent : int32_t { beEscrow = 0, beStacked = 1, beReturned = 2 };

// The host's callback: kind (TBillEvent), amount in 1/10000 currency units.
// For beEscrow, true stacks the bill and false returns it.
using TBillCallback = bool(NV_CALL*)(int32_t kind, int64_t amount);

class NotaveroDriver {
 public:
  NotaveroDriver() = default;
  NotaveroDriver(const NotaveroDriver&) = delete;
  NotaveroDriver& operator=(const NotaveroDriver&) = delete;

  // Called by the serial port when bytes have arrived; not for the host.
  virtual void DataReceived(uint32_t count) = 0;
  // Writes 14 bytes: the length byte 13, then "v1.0#Notavero".
  virtual void GetVersion(unsigned char* buffer) = 0;
  // Requests acceptance on (true) or off (false); the driver carries it out.
  virtual void SetEnabled(bool value) = 0;
  // Copies the last reported state's text (Windows-1251), NUL-terminated and
  // cut to size; returns the text's full length.
  virtual std::size_t GetStatusText(char* buffer, std::size_t size) = 0;

 protected:
  ~NotaveroDriver() = default;
};

}  // namespace notavero

// Creates a driver on serial port COM<port> (0: no port).  Returns null when
// the port cannot be opened or configured (no exception crosses the
// library's boundary); nv_get_driver reports the reason as text.
extern "C" NV_API notavero::NotaveroDriver* NV_CALL GetDriver(uint8_t port,
                                                              notavero::TBillCallback callback) noexcept;
