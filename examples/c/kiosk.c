/* A kiosk that takes bills until a price is paid, through the C interface.
 *
 *   usage: kiosk DEVICE PRICE        e.g. kiosk /dev/ttyUSB0 150
 *
 * It opens the validator with nv_open, shows the device's state and the
 * line's health as they change (the event callback), stacks bills while the
 * price is not paid yet (the bill callback decides each bill in escrow),
 * credits a bill once it is stacked, and prints the driver's counters at the
 * end.  Build it against an installed library:
 *
 *   cc kiosk.c -o kiosk $(pkg-config --cflags --libs notavero)
 */
#include <notavero/notavero.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

/* What the callbacks share with main(): they run on the driver's own thread. */
struct till {
  pthread_mutex_t lock;
  pthread_cond_t changed; /* paid or state changed */
  int64_t price;          /* 1/10000 currency units, as the driver counts money */
  int64_t paid;
  int32_t state; /* the device's last state byte (0x19: disabled) */
};

/* Decides and credits bills.  Amounts are in 1/10000 currency units: a 100
 * note is 1000000.  Runs on the driver's thread, which waits for it: keep it
 * short. */
static int on_bill(int32_t kind, int64_t amount, void* user) {
  struct till* till = user;
  pthread_mutex_lock(&till->lock);
  int answer = 0;
  if (kind == NV_BILL_ESCROW) {
    answer = till->paid < till->price; /* non-zero: stack it; zero: give it back */
    printf("escrow %lld: %s\n", (long long)(amount / 10000), answer ? "stack" : "return");
  } else if (kind == NV_BILL_STACKED) {
    till->paid += amount; /* the money is in the cassette only now */
    printf("paid %lld of %lld\n", (long long)(till->paid / 10000), (long long)(till->price / 10000));
    pthread_cond_signal(&till->changed);
  } else if (kind == NV_BILL_RETURNED) {
    printf("returned %lld\n", (long long)(amount / 10000));
  }
  pthread_mutex_unlock(&till->lock);
  fflush(stdout);
  return answer;
}

/* The device's state, the line and rejections, in English. */
static void on_event(int32_t kind, int32_t code, void* user) {
  struct till* till = user;
  if (kind == NV_EVENT_STATE) {
    printf("state %02X %s\n", (unsigned)(code & 0xFF), nv_state_name(code));
    pthread_mutex_lock(&till->lock);
    till->state = code & 0xFF;
    pthread_cond_signal(&till->changed);
    pthread_mutex_unlock(&till->lock);
  } else if (kind == NV_EVENT_LINK) {
    printf("link %s\n", nv_link_name(code)); /* "port lost": the driver reopens it by itself */
  } else if (kind == NV_EVENT_REJECTED) {
    printf("rejected: %s\n", nv_reject_reason_name(code));
  } else if (kind == NV_EVENT_UNCONFIRMED) {
    printf("bill type %d went to the stacker with no outcome: reconcile it\n", (int)code);
  }
  fflush(stdout);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s DEVICE PRICE\n", argv[0]);
    return 2;
  }
  struct till till = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, atoll(argv[2]) * 10000, 0, -1};

  nv_options options = {0};
  options.size = sizeof options; /* lets the struct grow in later versions */
  options.device = argv[1];      /* or options.port = 7 for COM7 */
  options.on_bill = on_bill;
  options.on_event = on_event;
  options.user = &till;
  options.flags = NV_OPT_UTF8_ERROR; /* the reason below in UTF-8, for this terminal */
  char error[256];
  nv_driver* driver = nv_open(&options, error, sizeof error);
  if (driver == NULL) {
    /* e.g. "Невозможно открыть /dev/ttyUSB0 (...: Permission denied)" (without the flag: Windows-1251) */
    fprintf(stderr, "cannot open %s: %s\n", argv[1], error);
    return 1;
  }
  /* The request stands: the driver enables acceptance once the bill table is
   * read, and again by itself after every power cut and reconnection. */
  nv_set_enabled(driver, 1);

  pthread_mutex_lock(&till.lock);
  while (till.paid < till.price) {
    pthread_cond_wait(&till.changed, &till.lock);
  }
  /* Acceptance off, and wait until the device says so: a request made just
   * before the driver is freed may never reach the device. */
  nv_set_enabled(driver, 0);
  while (till.state != 0x19) {
    pthread_cond_wait(&till.changed, &till.lock);
  }
  pthread_mutex_unlock(&till.lock);

  nv_counters counters = {.size = sizeof counters};
  if (nv_get_counters(driver, &counters) == 0) {
    unsigned bills = 0;
    for (int type = 0; type < 24; ++type) {
      bills += counters.stacked[type]; /* by bill type, as the device's bill table numbers them */
    }
    printf("counters: %u bills stacked, %lld in all, %u returned, %u rejected\n", bills,
           (long long)(counters.stacked_amount / 10000), counters.returned, counters.rejected);
  }
  nv_free_driver(driver); /* turns acceptance off and stops the driver */
  printf("thank you; change due %lld\n", (long long)((till.paid - till.price) / 10000));
  return 0;
}
