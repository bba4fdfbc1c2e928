// The library's release version for hosts that load it at run time.

#include "driver/notavero.h"
#include "driver/notavero_version.h"

extern "C" NV_API const char* nv_library_version(void) {
  return NV_VERSION_STRING;
}
