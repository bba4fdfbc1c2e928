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
 * When acceptance is on and the device answers, the driver disables it first,
 * so that the device takes no bill that nobody would credit.
 *
 * It may be called from inside the driver's own callback: then it returns at
 * once, and the driver stops and is released by its own thread as soon as the
 * callback has returned.  No decision or acknowledge goes to the device after
 * that (an escrowed bill is left for the device to return by itself); only
 * the disable above is sent.
 *
 * NULL, a driver already freed and anything that is not a driver are ignored:
 * every function of this interface checks its handle first. */
NV_API void nv_free_driver(nv_driver* driver);

/* Writes 14 bytes: the length 13, then "v1.0#Notavero". */
NV_API void nv_get_version(nv_driver* driver, unsigned char* buffer);

/* Copies the text of the device's last reported state, NUL-terminated and cut
 * to size bytes (size 0 writes nothing; buffer may then be NULL).  Returns the
 * text's full length.  The text is empty before the first successful poll. */
NV_API size_t nv_get_status_text(nv_driver* driver, char* buffer, size_t size);

/* Asks the driver to enable (non-zero) or disable (zero) bill acceptance.
 * Returns at once; several calls before the driver acts collapse into the last. */
NV_API void nv_set_enabled(nv_driver* driver, int enabled);

#ifdef __cplusplus
}
#endif

#endif /* NOTAVERO_H_ */
