/* A host as Visual C++ builds one: an object of the MSVC ABI (clang
 * --target=*-windows-msvc) linked by lld-link, Microsoft's linker's
 * stand-in, against the SDK's Notavero.lib.  On x86 it references the
 * decorated __stdcall name _GetDriver@8, which the import library maps to
 * the DLL's undecorated export.  It needs no C runtime: kernel32 prints and
 * exits.  Prints one line per check; exits 1 when any failed. */
#include "driver/notavero.h"
#include "driver/notavero_version.h"

__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long handle);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

/* GetDriver's C++ declaration (driver/notavero_host.h) seen from C. */
NV_API void* NV_CALL GetDriver(uint8_t port, void* callback);

static int failures = 0;

static unsigned long Length(const char* text) {
  unsigned long n = 0;
  while (text[n] != '\0') {
    ++n;
  }
  return n;
}

static void Print(const char* text) {
  unsigned long written = 0;
  WriteFile(GetStdHandle((unsigned long)-11), text, Length(text), &written, 0);
}

static void Check(int ok, const char* what) {
  Print(ok ? "ok: " : "FAILED: ");
  Print(what);
  Print("\n");
  failures += !ok;
}

static int Same(const char* a, const char* b, unsigned long n) {
  for (unsigned long i = 0; i < n; ++i) {
    if (a[i] != b[i]) {
      return 0;
    }
  }
  return 1;
}

void start(void) {
  const char* version = nv_library_version();
  Check(Length(version) == Length(NV_VERSION_STRING) && Same(version, NV_VERSION_STRING, Length(version)),
        "nv_library_version() is the header's NV_VERSION_STRING");
  void* driver = GetDriver(0, 0);
  Check(driver != 0, "GetDriver(0) returns a driver without a port");
  if (driver != 0) {
    unsigned char text[14];
    nv_get_version((nv_driver*)driver, text);
    Check(text[0] == 13 && Same((const char*)text + 1, "v1.0#Notavero", 13), "its version");
    nv_free_driver((nv_driver*)driver);
  }
  Print(failures == 0 ? "PASSED\n" : "FAILED\n");
  ExitProcess(failures == 0 ? 0 : 1);
}
