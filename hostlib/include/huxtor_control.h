/* The project's host library beyond the seven driver-facing functions: what a
 * host program or a test does with gates and the log, and fault injection.
 * All functions are thread-safe and cdecl. */
#ifndef HUXTOR_CONTROL_H
#define HUXTOR_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#include "huxtor.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Forget every client, gate, log line, failure and callback. */
HUXTOR_API void HuxCtlReset(void);

/* Define a gate under its address text (as the driver builds it, e.g. "A_01/0002").
 * Returns its GateId (never 0); an existing address keeps its id. */
HUXTOR_API uint32_t HuxCtlAddGate(const char* address);
/* GateId of an address, 0 when unknown. */
HUXTOR_API uint32_t HuxCtlGateId(const char* address);
/* Set / get a gate's raw value (what HuxGetGateRawValue reports). 0 on success, 1 unknown gate. */
HUXTOR_API int HuxCtlSetRaw(uint32_t gateId, uint16_t value);
HUXTOR_API int HuxCtlGetRaw(uint32_t gateId, uint16_t* value);
/* The last cooked value stored by HuxPutGateVal, and how many puts the gate received. */
HUXTOR_API int HuxCtlGetCooked(uint32_t gateId, HuxCookedValue* cooked);
HUXTOR_API uint32_t HuxCtlPutCount(uint32_t gateId);
/* The raw value a cooked value carries (the inverse of HuxCook). */
HUXTOR_API uint16_t HuxCtlUncook(HuxCookedValue cooked);

/* Registered clients: count, and the name of client id `clientId` (0 when unknown). */
HUXTOR_API uint32_t HuxCtlClientCount(void);
HUXTOR_API int HuxCtlClientName(uint32_t clientId, char* buffer, size_t size);

/* The log: number of lines, and line `index` (level and formatted text). 0 ok, 1 no such line. */
HUXTOR_API uint32_t HuxCtlLogCount(void);
HUXTOR_API int HuxCtlLogLine(uint32_t index, int* level, char* buffer, size_t size);
HUXTOR_API void HuxCtlLogClear(void);
/* Echo every log line as it is written: path NULL stops, "-" is stderr. */
HUXTOR_API int HuxCtlLogEcho(const char* path);

/* Make host function `name` ("HuxMkClient", "HuxCook", ...) return `status`:
 * skip the next `after` calls, then fail `times` calls (-1: every call from then on).
 * status 0 removes the failure. */
HUXTOR_API void HuxCtlFail(const char* name, uint16_t status, uint32_t after, int32_t times);
/* Number of calls made to host function `name` since the last reset. */
HUXTOR_API uint32_t HuxCtlCallCount(const char* name);

/* Called (on the caller's thread, outside the library's lock) after each successful
 * HuxPutGateVal, with the client that put the value, and after each log line. NULL removes. */
typedef void (*HuxCtlPutCallback)(void* context, uint32_t clientId, uint32_t gateId, const char* address,
                                  uint16_t raw);
typedef void (*HuxCtlLogCallback)(void* context, int level, const char* text);
HUXTOR_API void HuxCtlOnPut(HuxCtlPutCallback callback, void* context);
HUXTOR_API void HuxCtlOnLog(HuxCtlLogCallback callback, void* context);

#ifdef __cplusplus
}
#endif

#endif
