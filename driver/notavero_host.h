// C++ interface of the driver for hosts built with a compatible compiler.
//
//   auto* driver = GetDriver(5, OnBill);    // null when COM5 cannot be opened
//   driver->SetEnabled(true);
//   ...
//   nv_free_driver(reinterpret_cast<nv_driver*>(driver));   // stops and releases it
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
