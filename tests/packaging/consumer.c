/* A host outside the project, as an integrator writes one: it includes the
 * installed headers, links the shared library and runs the driver on port 7
 * (NOTAVERO_COM7 names the simulator's pseudo-terminal) until the device has
 * answered a poll.  Prints what it saw; exits 0 when every check passed. */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "driver/notavero.h"
#include "driver/notavero_version.h"

static int failures = 0;

static void check(int ok, const char* what) {
  printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  if (!ok) {
    ++failures;
  }
}

int main(void) {
  printf("library %s, header %s\n", nv_library_version(), NV_VERSION_STRING);
  check(strcmp(nv_library_version(), NV_VERSION_STRING) == 0, "the library's version is the header's");

  char error[256] = "";
  nv_driver* driver = nv_get_driver(7, NULL, NULL, error, sizeof error);
  check(driver != NULL, "nv_get_driver(7) opens the simulator");
  if (driver == NULL) {
    printf("error: %s\n", error);
    return 1;
  }
  unsigned char version[14] = {0};
  nv_get_version(driver, version);
  check(version[0] == 13 && memcmp(version + 1, "v1.0#Notavero", 13) == 0, "the driver's version text");

  /* The state text is empty until the device has answered a poll; a loaded
   * machine gets a minute. */
  char status[128] = "";
  const struct timespec pause = {0, 20 * 1000 * 1000};
  for (int i = 0; i < 3000 && nv_get_status_text(driver, status, sizeof status) == 0; ++i) {
    nanosleep(&pause, NULL);
  }
  check(status[0] != '\0', "the device answered a poll (the state text is set)");
  nv_free_driver(driver);
  printf("%s: %d check(s) failed\n", failures == 0 ? "PASSED" : "FAILED", failures);
  return failures == 0 ? 0 : 1;
}
