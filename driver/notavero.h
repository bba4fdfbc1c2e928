/* C interface of the notavero bill validator driver, for hosts in C, C#,
 * Python (ctypes) and other languages.
 *
 * Texts are Windows-1251, NUL-terminated.  Amounts are in 1/10000 currency
 * units (10 roubles are 100000).  The callback runs on the driver's own
 * polling thread, synchronously: the device is not polled until it returns.
 */
#ifndef NOTAVERO_H_
#define NOTAVERO_H_

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(NOTAVERO_BUILDING_LIBRARY)
#define NV_API __declspec(dllexport)
#elif defined(NOTAVERO_STATIC)
/* A program linked with the library's code itself, not with the DLL
 * (notavero-serve.exe). */
#define NV_API
#else
#define NV_API __declspec(dllimport)
#endif
#define NV_CALL __stdcall
#else
#define NV_API __attribute__((visibility("default")))
#define NV_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct nv_driver nv_driver; /* NOLINT(modernize-use-using): a C header */

/* Bill events passed as the callback's kind. */
enum { NV_BILL_ESCROW = 0, NV_BILL_STACKED = 1, NV_BILL_RETURNED = 2 };

/* kind: NV_BILL_*; amount: the bill's value in 1/10000 currency units, never
 * 0: a bill whose value the driver does not know (its bill table is not read
 * yet, or gives the type no value) is returned without asking the host, and
 * is never reported as stacked (the driver logs it for reconciliation).  For NV_BILL_ESCROW a non-zero
 * result stacks the bill (the host credits it on NV_BILL_STACKED), zero
 * returns it to the customer; for the other kinds the result is ignored. */
/* NOLINTNEXTLINE(modernize-use-using): a C header */
typedef int (*nv_bill_callback)(int32_t kind, int64_t amount, void* user);

/* Opens serial port `port` (0: no port) and starts the driver.  Returns NULL
 * on failure; then, when error is not NULL, writes the error's message into
 * it, NUL-terminated and cut to error_size bytes (nothing when error_size is 0). */
NV_API nv_driver* nv_get_driver(uint8_t port, nv_bill_callback callback, void* user, char* error,
                                size_t error_size);

/* Stops the driver (waiting for a callback that is running) and releases it.
 * When acceptance may be on and the port is open, the driver disables it
 * first, so that the device takes no bill that nobody would credit.
 *
 * While the device answers, the driver first settles what it holds, for up
 * to 2.5 s (no new bill is offered to the host meanwhile; this costs one poll,
 * about 0.1-0.2 s, when nothing is in play): a bill on its way to the
 * cassette is followed to its outcome, and the host hears it as stacked, or,
 * when the device does not say, as NV_EVENT_UNCONFIRMED with a log line giving
 * its value; a bill in escrow is returned and the host hears it as returned
 * (announced by NV_EVENT_FOREIGN_OUTCOME: the host was not asked about it);
 * the acknowledge of the last reported outcome is confirmed by a poll, so
 * that nothing is left for the next driver or the next process to report
 * again.  A stacked report the driver holds unacknowledged is reported as
 * stacked or unconfirmed the same way.  All of it comes before this returns.
 *
 * It may be called from inside the driver's own callback: then it returns at
 * once, and the driver stops and is released by its own thread as soon as the
 * callback has returned.  From then on no callback of any kind reaches the
 * host.  No decision goes to the device after that (an escrowed bill is left
 * for the device to return by itself); the disable above is sent, and under
 * NV_OPT_ACK_AFTER_CALLBACK the acknowledge of the outcome that the callback
 * has just recorded.  A report the callback did not record (NV_OUTCOME_RETRY)
 * stays with the device, and the next driver on it offers it.
 *
 * NULL, a driver already freed and anything that is not a driver are ignored:
 * every function of this interface checks its handle first.  Handles are never
 * given out twice in a process: a freed handle stays dead even when a new
 * driver is created at the same address. */
NV_API void nv_free_driver(nv_driver* driver);

/* Writes 14 bytes: the length 13, then "v1.0#Notavero". */
NV_API void nv_get_version(nv_driver* driver, unsigned char* buffer);

/* Copies the text of the device's last reported state, NUL-terminated and cut
 * to size bytes (size 0 writes nothing; buffer may then be NULL).  Returns the
 * text's full length.  The text is empty before the first successful poll. */
NV_API size_t nv_get_status_text(nv_driver* driver, char* buffer, size_t size);

/* Asks the driver to enable (non-zero) or disable (zero) bill acceptance.
 * Returns at once; several calls before the driver acts collapse into the last.
 * The request stands until withdrawn: an enable made before the bill table is
 * read is carried out as soon as it is, and acceptance goes on again by itself
 * after every reset, power cut and reopened port (GetDriver's C++ object keeps
 * its older rule: an enable before the first table is used up, with a log line). */
NV_API void nv_set_enabled(nv_driver* driver, int enabled);

/* The library's release version, "MAJOR.MINOR.PATCH" (e.g. "1.1.0"): a static
 * string, never NULL.  Not the device's version text of nv_get_version. */
NV_API const char* nv_library_version(void);

/* ---- Exactly once: how outcomes are reported ----
 *
 * The device repeats a stacked or returned report until it is acknowledged,
 * and forgets it once it is.  The driver reports each outcome to the host
 * once: a repeat of a report it has reported (its acknowledge was lost, or
 * came too late) is logged and never reported again, and this holds from one
 * driver to the next on the same device in one process, however briefly each
 * lives and whatever name opens the device (a link such as
 * /dev/serial/by-id/... and the ttyUSB0 it names are one device: the next
 * driver takes the device's repeat of what the one before reported for what
 * it is).  What
 * no driver can know is said, never dropped: a bill sent to the stacker whose
 * outcome never comes, a stacked report that vanishes before the driver could
 * finish it (a power cut while it waited for the bill table, or a free),
 * comes as NV_EVENT_UNCONFIRMED with a log line giving its value.
 *
 * Why the driver credits on the report rather than after a later poll shows
 * that the device took the acknowledge: a host without a journal loses nothing
 * then when the driver ends between the acknowledge and that poll (the device
 * has forgotten the bill, and the next driver would never hear of it), and the
 * one case that could credit twice (the acknowledge lost, then the process
 * replaced the driver before the repeat came) is closed by the hand-over
 * between drivers above, and for a new process by nv_free_driver, which
 * confirms the last acknowledge with a poll.  What remains for a host without
 * a journal: a process that ends without nv_free_driver (killed, crashed, or
 * a device that fell silent at the free) between an acknowledge the line lost
 * and the device's repeat, whose next process credits the repeat again; and a
 * process that dies between the acknowledge and its own record of the bill.
 * A host that keeps a journal asks
 * for NV_OPT_ACK_AFTER_CALLBACK, which moves the acknowledge after its record,
 * and resolves the one ambiguity that leaves (a report the device repeats to
 * the next process) with NV_EVENT_FOREIGN_OUTCOME and its journal. */

/* ---- Device state, events, link health and counters ----
 *
 * A driver opened with nv_open can also report what happens to the device
 * beside the money: its state changes, the health of the line, rejections and
 * bills whose outcome the device never reported.  Events run on the polling
 * thread, in the order things happened (a state event comes before the bill
 * callback of the same poll); like the bill callback they must return soon. */

/* Event kinds, with the meaning of their code. */
enum {
  NV_EVENT_STATE = 1,          /* the status word changed; code: the new word (state in bits 0-7,
                                  sub-code in bits 8-15); the first successful poll gives one */
  NV_EVENT_LINK = 2,           /* the link state changed; code: NV_LINK_* */
  NV_EVENT_REJECTED = 3,       /* the device rejected a bill; code: the reason (the sub-code of state
                                  0x1C); one event per rejection however many polls show it */
  NV_EVENT_UNCONFIRMED = 4,    /* a bill sent to the stacker whose outcome the device never reported,
                                  or a stacked report the driver saw but could not finish (a power
                                  cut, a free); code: its bill type.  Money for the host to reconcile. */
  NV_EVENT_FOREIGN_OUTCOME = 5 /* sent just before the bill callback of an outcome that this driver
                                  instance did not decide (the bill was in play before it started,
                                  or it returned the bill itself because its value was not known
                                  yet); code: NV_BILL_STACKED or NV_BILL_RETURNED.  A host with a
                                  journal checks it against its last escrow: see below. */
};

/* Link states. */
enum {
  NV_LINK_UNKNOWN = 0,   /* not heard yet */
  NV_LINK_ONLINE = 1,    /* the last exchange was answered */
  NV_LINK_NO_ANSWER = 2, /* a whole cycle failed: time-outs or bad frames */
  NV_LINK_PORT_LOST = 3  /* the port itself failed (adapter pulled); the driver is reopening it */
};

/* NOLINTNEXTLINE(modernize-use-using): a C header */
typedef void (*nv_event_callback)(int32_t kind, int32_t code, void* user);

/* nv_options.flags.
 *
 * NV_OPT_ACK_AFTER_CALLBACK: for hosts that record outcomes durably (a
 * journal on disk).  By default the driver acknowledges a stacked or returned
 * report first (the device then forgets it) and calls the host after; a host
 * killed in between never hears of the bill.  With this flag the driver calls
 * the host first and acknowledges only once the callback has returned, so the
 * record is on disk before the device forgets the report.  A host killed in
 * between leaves the report with the device, and the next driver offers it
 * again, announced by NV_EVENT_FOREIGN_OUTCOME.  The host tells the two cases
 * apart with its own journal: every outcome follows one escrow, and the device
 * holds one bill at a time, so a foreign outcome after an escrow that already
 * has its outcome recorded is that outcome again (record it as a repeat, never
 * credit it twice); after an escrow without one it is the bill's outcome.
 * The bill callback of a stacked or returned bill may then return
 * NV_OUTCOME_RETRY when it could not record it (disk full, database locked):
 * the report is not acknowledged, the device keeps it, and the driver offers
 * it again at the next poll, until the host records it or the device loses it
 * (then it is reported as NV_EVENT_UNCONFIRMED).
 *
 * NV_OPT_UTF8_ERROR: nv_open writes its error in UTF-8 instead of
 * Windows-1251. */
enum { NV_OPT_ACK_AFTER_CALLBACK = 1, NV_OPT_UTF8_ERROR = 2 };

/* What a stacked or returned bill's callback returns under
 * NV_OPT_ACK_AFTER_CALLBACK when it could not record the bill. */
enum { NV_OUTCOME_RETRY = -1 };

/* A bill event with what the driver knows of the bill, for
 * nv_options.on_bill_ex.  The driver sets size to the sizeof(nv_bill) it was
 * built with: a field past size is not there (later versions may add some). */
typedef struct nv_bill { /* NOLINT(modernize-use-using): a C header */
  uint32_t size;         /* sizeof(nv_bill) of the driver */
  int32_t kind;          /* NV_BILL_* */
  int64_t amount;        /* as nv_bill_callback's amount */
  int32_t bill_type;     /* the device's bill type (0-23): the index in nv_counters.stacked and the
                            code of NV_EVENT_UNCONFIRMED */
} nv_bill;

/* As nv_bill_callback, with the bill in a struct that may grow; its result
 * means what nv_bill_callback's does.  The bill is valid during the call. */
/* NOLINTNEXTLINE(modernize-use-using): a C header */
typedef int (*nv_bill_ex_callback)(const nv_bill* bill, void* user);

/* What nv_open opens and where its reports go.  Zero the struct, then set
 * size to sizeof(nv_options) and the fields you use.  A struct of an older
 * version (without flags, or without on_bill_ex) is accepted: its size
 * says so. */
typedef struct nv_options {   /* NOLINT(modernize-use-using): a C header */
  uint32_t size;              /* sizeof(nv_options): lets the struct grow */
  uint8_t port;               /* COM number, used when device is NULL */
  const char* device;         /* a device path ("/dev/ttyUSB0", "\\\\.\\COM12"), or NULL */
  nv_bill_callback on_bill;   /* as for nv_get_driver; NULL returns every bill */
  nv_event_callback on_event; /* may be NULL */
  void* user;                 /* passed to both callbacks */
  uint32_t flags;             /* NV_OPT_*; 0 for the default behaviour */
  /* When not NULL, called for every bill instead of on_bill, with the bill's
   * type beside its kind and amount. */
  nv_bill_ex_callback on_bill_ex;
} nv_options;

/* Opens the port that options name and starts the driver.  Returns NULL on
 * failure (also for a NULL options or a size smaller than the first version
 * of the struct) with the reason in error, as nv_get_driver does (in UTF-8
 * under NV_OPT_UTF8_ERROR).  A device path is opened as it is given; the
 * port number's rules (COM<n>, and on POSIX the NOTAVERO_COM<n> variable)
 * apply only when device is NULL. */
NV_API nv_driver* nv_open(const nv_options* options, char* error, size_t error_size);

/* The status word of the last successful poll (state in bits 0-7, sub-code in
 * bits 8-15); -1 before the first, and for a handle that is not a driver. */
NV_API int32_t nv_get_state(nv_driver* driver);

/* NV_LINK_*; NV_LINK_UNKNOWN for a handle that is not a driver. */
NV_API int32_t nv_get_link(nv_driver* driver);

/* The host's acceptance request: 1 when the host asked for acceptance and has
 * not withdrawn it, 0 otherwise (also for a handle that is not a driver). */
NV_API int nv_get_enabled(nv_driver* driver);

/* The counts of nv_counters between stacked_amount and last_answer_ms, in
 * the struct's order, each a uint32_t: X(field, metric, help).  metric is
 * the name a tool reports the count under (notavero-serve's /metrics:
 * notavero_<metric>_total), help says what is counted.  Tools and bindings
 * take the fields from this list rather than naming them again. */
#define NV_COUNTER_LIST(X)                                                                     \
  X(returned, "bills_returned", "Bills given back (by the host's decision or by the device).") \
  X(rejected, "bills_rejected", "Bills the validator rejected (state 0x1C).")                  \
  X(timeouts, "exchange_timeouts", "Exchanges with the validator that timed out.")             \
  X(bad_frames, "bad_frames", "Replies with a bad CRC or length.")                             \
  X(failed_cycles, "failed_cycles", "Polling cycles that ended on a device error.")            \
  X(power_ups, "power_ups", "Power-ups of the validator seen (states 0x10-0x12).")             \
  X(reconnects, "reconnects", "Times the serial port was reopened after it was lost.")         \
  X(unconfirmed, "bills_unconfirmed", "Bills sent to the stacker whose outcome the validator never reported.")

/* Counts since the driver was opened.  Its layout is fixed: more fields may
 * follow last_answer_ms. */
#define NV_COUNTER_FIELD_(field, metric, help) uint32_t field;
typedef struct nv_counters { /* NOLINT(modernize-use-using): a C header */
  uint32_t size;             /* set by the caller to sizeof(nv_counters) */
  uint32_t stacked[24];      /* bills stacked, by bill type */
  int64_t stacked_amount;    /* their sum, 1/10000 currency units */
  NV_COUNTER_LIST(NV_COUNTER_FIELD_)
  int64_t last_answer_ms; /* milliseconds since the last good reply, -1 never */
} nv_counters;
#undef NV_COUNTER_FIELD_

/* Fills counters, up to counters->size bytes.  Returns 0, or -1 (and writes
 * nothing) when counters is NULL, its size is smaller than the struct's first
 * version, or the handle is not a driver. */
NV_API int nv_get_counters(nv_driver* driver, nv_counters* counters);

/* English names, for tools and hosts that do not show Russian; static
 * strings, never NULL.  nv_state_name takes a status word and names its state
 * ("idling", "stacker full", ...; "unknown" for a state the driver does not
 * know); nv_reject_reason_name names a rejection's reason ("insertion",
 * "magnetic", ...); nv_link_name names an NV_LINK_* value. */
NV_API const char* nv_state_name(int32_t word);
NV_API const char* nv_reject_reason_name(int32_t code);
NV_API const char* nv_link_name(int32_t link);

/* The Russian text of status word `word` (the text nv_get_status_text gives
 * while the device is in it) in UTF-8, for hosts that show UTF-8: copied
 * NUL-terminated and cut to size bytes as nv_get_status_text does; returns
 * the text's full length.  A negative word (no poll yet) has the empty text. */
NV_API size_t nv_state_text_utf8(int32_t word, char* buffer, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* NOTAVERO_H_ */
