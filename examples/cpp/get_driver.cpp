// A host of the exported C++ interface, GetDriver, as a Windows kiosk loads
// Notavero.dll: it takes bills until a price is paid.
//
//   usage: get_driver PORT PRICE        e.g. get_driver 5 150 (COM5; on Linux
//                                       NOTAVERO_COM5 names the device)
//
// GetDriver's object enables acceptance only for the bill types of the
// device's bill table, and an enable asked for before the table is read is
// used up for nothing.  After a power cut the device is reset and its table
// read again, but acceptance stays off.  So this host asks for acceptance
// whenever the state text says the device is disabled ("Выключен") and the
// price is not paid yet: once after start, and again after every power cut.
#include <notavero/notavero_host.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

namespace {

// The driver's texts are Windows-1251 bytes; this file is UTF-8.  The
// Russian letters А..я are U+0410..U+044F, and Windows-1251 keeps them in
// that order from 0xC0: enough to write a state's text here as it reads.
struct Cp1251Text {
  char bytes[64]{};
};
constexpr Cp1251Text Cp1251(std::string_view utf8) {
  Cp1251Text text{};
  std::size_t length = 0;
  for (std::size_t i = 0; i < utf8.size() && length + 1 < sizeof text.bytes; ++i) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80 || i + 1 == utf8.size()) {
      text.bytes[length++] = utf8[i];
      continue;
    }
    const unsigned code = (lead & 0x1FU) << 6 | (static_cast<unsigned char>(utf8[++i]) & 0x3FU);
    text.bytes[length++] = static_cast<char>(code - 0x0410 + 0xC0);
  }
  return text;
}
constexpr Cp1251Text kDisabled = Cp1251("Выключен");  // the disabled state

std::atomic<long long> price{0};  // 1/10000 currency units: a 100 note is 1000000
std::atomic<long long> paid{0};

// Runs on the driver's polling thread, which waits for it: keep it short.
bool NV_CALL OnBill(int32_t kind, int64_t amount) {
  if (kind == notavero::beEscrow) {
    const bool stack = paid.load() < price.load();
    std::printf("escrow %lld: %s\n", static_cast<long long>(amount / 10000), stack ? "stack" : "return");
    std::fflush(stdout);
    return stack;  // true: into the cassette; false: back to the customer
  }
  if (kind == notavero::beStacked) {
    paid += amount;  // the money is in the cassette only now
    std::printf("paid %lld of %lld\n", paid.load() / 10000, price.load() / 10000);
    std::fflush(stdout);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PORT PRICE\n", argv[0]);
    return 2;
  }
  price = std::atoll(argv[2]) * 10000;
  notavero::NotaveroDriver* driver = GetDriver(static_cast<uint8_t>(std::atoi(argv[1])), OnBill);
  if (driver == nullptr) {
    std::fprintf(stderr, "cannot open COM%s (nv_get_driver gives the reason as text)\n", argv[1]);
    return 1;
  }

  char text[128] = "";
  bool was_disabled = false;
  while (paid.load() < price.load()) {
    driver->GetStatusText(text, sizeof text);
    const bool disabled = std::strcmp(text, kDisabled.bytes) == 0;
    if (disabled) {
      if (!was_disabled) {
        std::printf("the device is disabled: enabling acceptance\n");
        std::fflush(stdout);
      }
      // Asked again while the state stays disabled: a request the driver
      // could not carry out yet (the table not read) is simply repeated.
      driver->SetEnabled(true);
    }
    was_disabled = disabled;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }

  // Acceptance off, and wait until the device says so: a request made just
  // before the driver is freed may never reach the device.
  driver->SetEnabled(false);
  for (int tries = 0; tries < 50 && std::strcmp(text, kDisabled.bytes) != 0; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    driver->GetStatusText(text, sizeof text);
  }
  // The host never deletes the object: nv_free_driver stops and releases it.
  nv_free_driver(reinterpret_cast<nv_driver*>(driver));
  std::printf("thank you; change due %lld\n", (paid.load() - price.load()) / 10000);
  return 0;
}
