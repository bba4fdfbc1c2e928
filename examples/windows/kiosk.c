/* A Windows kiosk in C that takes bills until a price is paid, through the
 * C interface: the way to use Notavero.dll from C, and the model for hosts in
 * other languages (C#, Delphi) that call its C functions.
 *
 *   usage: kiosk PORT PRICE        e.g. kiosk 5 150 (COM5)
 *
 * It opens COM<PORT> with nv_open, asks for acceptance once (the request
 * stands: the driver carries it out once the bill table is read, and again
 * after every power cut), stacks bills while the price is not paid, credits
 * a bill once it is stacked, and at the end turns acceptance off and waits
 * until the device says so.  CMakeLists.txt beside it builds it against the
 * SDK archive with Visual C++ or mingw-w64.
 */
#include <notavero/notavero.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

/* What the callbacks share with main(): they run on the driver's own thread. */
struct till {
  CRITICAL_SECTION lock;
  CONDITION_VARIABLE changed; /* paid or state changed */
  int64_t price;              /* 1/10000 currency units, as the driver counts money */
  int64_t paid;
  int32_t state; /* the device's last state byte (0x19: disabled) */
};

/* Decides and credits bills.  Runs on the driver's thread, which waits for
 * it: keep it short. */
static int on_bill(int32_t kind, int64_t amount, void* user) {
  struct till* till = user;
  int answer = 0;
  EnterCriticalSection(&till->lock);
  if (kind == NV_BILL_ESCROW) {
    answer = till->paid < till->price; /* non-zero: stack it; zero: give it back */
    printf("escrow %lld: %s\n", (long long)(amount / 10000), answer ? "stack" : "return");
  } else if (kind == NV_BILL_STACKED) {
    till->paid += amount; /* the money is in the cassette only now */
    printf("paid %lld of %lld\n", (long long)(till->paid / 10000), (long long)(till->price / 10000));
    WakeAllConditionVariable(&till->changed);
  } else if (kind == NV_BILL_RETURNED) {
    printf("returned %lld\n", (long long)(amount / 10000));
  }
  LeaveCriticalSection(&till->lock);
  fflush(stdout);
  return answer;
}

/* The device's state, the line and rejections, in English. */
static void on_event(int32_t kind, int32_t code, void* user) {
  struct till* till = user;
  if (kind == NV_EVENT_STATE) {
    printf("state %02X %s\n", (unsigned)(code & 0xFF), nv_state_name(code));
    EnterCriticalSection(&till->lock);
    till->state = code & 0xFF;
    WakeAllConditionVariable(&till->changed);
    LeaveCriticalSection(&till->lock);
  } else if (kind == NV_EVENT_LINK) {
    printf("link %s\n", nv_link_name(code));
  } else if (kind == NV_EVENT_REJECTED) {
    printf("rejected: %s\n", nv_reject_reason_name(code));
  }
  fflush(stdout);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s PORT PRICE\n", argv[0]);
    return 2;
  }
  struct till till;
  InitializeCriticalSection(&till.lock);
  InitializeConditionVariable(&till.changed);
  till.price = _atoi64(argv[2]) * 10000;
  till.paid = 0;
  till.state = -1;

  nv_options options = {0};
  options.size = sizeof options; /* lets the struct grow in later versions */
  options.port = (uint8_t)atoi(argv[1]);
  options.on_bill = on_bill;
  options.on_event = on_event;
  options.user = &till;
  char error[256];
  nv_driver* driver = nv_open(&options, error, sizeof error);
  if (driver == NULL) {
    fprintf(stderr, "cannot open COM%s: %s\n", argv[1], error); /* the reason is Windows-1251 */
    return 1;
  }
  nv_set_enabled(driver, 1); /* once: the request stands */

  EnterCriticalSection(&till.lock);
  while (till.paid < till.price) {
    SleepConditionVariableCS(&till.changed, &till.lock, INFINITE);
  }
  /* Acceptance off, and wait until the device says so: a request made just
   * before the driver is freed may never reach the device. */
  nv_set_enabled(driver, 0);
  while (till.state != 0x19) {
    SleepConditionVariableCS(&till.changed, &till.lock, INFINITE);
  }
  LeaveCriticalSection(&till.lock);

  nv_free_driver(driver); /* stops the driver and releases it */
  printf("thank you; change due %lld\n", (long long)((till.paid - till.price) / 10000));
  DeleteCriticalSection(&till.lock);
  return 0;
}
