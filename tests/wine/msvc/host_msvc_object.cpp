// A C++ host as Visual C++ builds one, of the object GetDriver returns: an
// object of the MSVC ABI (clang-cl) linked by lld-link against the SDK's
// Notavero.lib through find_package(notavero), run under Wine against
// notavero-sim on COM5 (tests/wine/sdk_device.txt inserts a 100 bill once
// acceptance is on).  It uses the object as driver/notavero_host.h shows:
// GetDriver, the version, the state text until it reads disabled, SetEnabled,
// a bill stacked through the callback, SetEnabled(false), nv_free_driver.
// Every virtual call goes through the vtable the mingw-built DLL laid out,
// with the MSVC ABI's `this` passing (on x86 __thiscall, the callee popping
// the arguments); a mismatch shows as a wrong result or a crash.
//
// It needs no C runtime: kernel32 prints, waits and exits.  Prints one line
// per check; exits 1 when any failed.
#include "driver/notavero_host.h"

extern "C" {
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long handle);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
__declspec(dllimport) void __stdcall Sleep(unsigned long ms);
__declspec(dllimport) unsigned long __stdcall GetTickCount();
__declspec(dllimport) void* __stdcall CreateEventA(void* attributes, int manual_reset, int initial_state,
                                                   const char* name);
__declspec(dllimport) int __stdcall SetEvent(void* event);
__declspec(dllimport) unsigned long __stdcall WaitForSingleObject(void* handle, unsigned long ms);
}

namespace {

constexpr unsigned long kStateTimeoutMs = 120000;  // Wine on a loaded machine: generous
constexpr unsigned long kBillTimeoutMs = 60000;
constexpr unsigned long kWaitObject0 = 0;
constexpr int64_t kHundred = 100 * 10000;  // amounts are in 1/10000 currency units
// "Выключен" (disabled) in Windows-1251.
constexpr char kDisabled[] = "\xC2\xFB\xEA\xEB\xFE\xF7\xE5\xED";

int failures = 0;

unsigned long Length(const char* text) {
  unsigned long n = 0;
  while (text[n] != '\0') {
    ++n;
  }
  return n;
}

bool Same(const char* a, const char* b) {
  unsigned long i = 0;
  for (; a[i] != '\0' && a[i] == b[i]; ++i) {
  }
  return a[i] == b[i];
}

void Print(const char* text) {
  unsigned long written = 0;
  WriteFile(GetStdHandle(static_cast<unsigned long>(-11)), text, Length(text), &written, nullptr);
}

// 32-bit arithmetic: on x86 a 64-bit division would call the C runtime.
void PrintNumber(unsigned long value) {
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  char text[12];
  int length = 0;
  while (n > 0) {
    text[length++] = digits[--n];
  }
  text[length] = '\0';
  Print(text);
}

// The text's bytes in hex: the state texts are Windows-1251.
void PrintHex(const char* text) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  for (unsigned long i = 0; text[i] != '\0'; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const char hex[4] = {kDigits[byte >> 4], kDigits[byte & 15], ' ', '\0'};
    Print(hex);
  }
}

void Check(bool ok, const char* what) {
  Print(ok ? "ok: " : "FAILED: ");
  Print(what);
  Print("\n");
  failures += ok ? 0 : 1;
}

// What the callback saw; it runs on the driver's thread.
void* bill_event = nullptr;
volatile int32_t escrow_count = 0;
volatile int64_t stacked_amount = 0;

bool NV_CALL OnBill(int32_t kind, int64_t amount) {
  if (kind == notavero::beEscrow) {
    escrow_count = escrow_count + 1;
    return amount == kHundred;  // stack it
  }
  if (kind == notavero::beStacked) {
    stacked_amount = amount;
    SetEvent(bill_event);
  }
  return false;
}

// Reads the state text until it is `wanted`; says what it read last.
bool WaitForText(notavero::NotaveroDriver* driver, const char* wanted) {
  char text[64] = "";
  const unsigned long start = GetTickCount();
  std::size_t length = 0;
  do {
    length = driver->GetStatusText(text, sizeof text);
    if (Same(text, wanted)) {
      Print("  state text ");
      PrintHex(text);
      Print("after ");
      PrintNumber(GetTickCount() - start);
      Print(" ms; GetStatusText returned ");
      PrintNumber(static_cast<unsigned long>(length));
      Print("\n");
      return length == Length(text);
    }
    Sleep(50);  // the object has no state event: it is read, as hosts of it do
  } while (GetTickCount() - start < kStateTimeoutMs);
  Print("  the state text still reads ");
  PrintHex(text);
  Print("\n");
  return false;
}

}  // namespace

extern "C" void start() {
  bill_event = CreateEventA(nullptr, 1, 0, nullptr);
  notavero::NotaveroDriver* driver = GetDriver(5, OnBill);
  Check(driver != nullptr, "GetDriver(5, OnBill) returns the object");
  if (driver == nullptr) {
    Print("FAILED\n");
    ExitProcess(1);
  }
  unsigned char version[14] = {};
  driver->GetVersion(version);
  bool version_ok = version[0] == 13;
  for (int i = 0; i < 13 && version_ok; ++i) {
    version_ok = version[1 + i] == static_cast<unsigned char>("v1.0#Notavero"[i]);
  }
  Check(version_ok, "GetVersion writes 13, \"v1.0#Notavero\"");
  Check(WaitForText(driver, kDisabled),
        "GetStatusText reads disabled (the bill table is read), with its length");
  driver->SetEnabled(true);
  const bool stacked = WaitForSingleObject(bill_event, kBillTimeoutMs) == kWaitObject0;
  Print("  escrow callbacks: ");
  PrintNumber(static_cast<unsigned long>(escrow_count));
  Print(", stacked amount: ");
  PrintNumber(static_cast<unsigned long>(stacked_amount));
  Print("\n");
  Check(stacked && escrow_count == 1 && stacked_amount == kHundred,
        "SetEnabled(true): the simulator's 100 bill is offered once and stacked");
  driver->SetEnabled(false);
  Check(WaitForText(driver, kDisabled), "SetEnabled(false): the state text reads disabled again");
  nv_free_driver(reinterpret_cast<nv_driver*>(driver));
  Check(true, "nv_free_driver returned");
  Print(failures == 0 ? "PASSED\n" : "FAILED\n");
  ExitProcess(failures == 0 ? 0 : 1);
}
