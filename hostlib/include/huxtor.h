/* The host library: the seven functions a driver imports. stdcall with 32-bit
 * argument slots; err is cdecl and variadic. Statuses: 0 success. */
#ifndef HUXTOR_H
#define HUXTOR_H

#include <stdint.h>

#ifdef _WIN32
#define HUXTOR_API __declspec(dllexport)
#else
#define HUXTOR_API __attribute__((visibility("default")))
#endif
#define HUXTOR_STDCALL __attribute__((stdcall))

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HuxRawValue { uint16_t word0; uint16_t value; } HuxRawValue;       /* 4 bytes */
typedef struct HuxCookedValue { uint8_t bytes[8]; } HuxCookedValue;                /* 8 bytes */

HUXTOR_API uint16_t HUXTOR_STDCALL HuxMkClient(const char* name, uint32_t one, uint32_t zero, uint8_t* clientId);
HUXTOR_API uint16_t HUXTOR_STDCALL HuxRmClient(uint32_t clientId);
HUXTOR_API uint16_t HUXTOR_STDCALL HuxGetGateRawValue(uint32_t clientId, uint32_t gateId, HuxRawValue* raw,
                                                      uint32_t zero);
HUXTOR_API uint16_t HUXTOR_STDCALL HuxGetGateIdByAddressStr(uint32_t clientId, uint32_t hostByte,
                                                            const char* address, uint32_t* gateId);
HUXTOR_API uint16_t HUXTOR_STDCALL HuxCook(uint32_t clientId, uint32_t gateId, HuxRawValue raw,
                                           HuxCookedValue* cooked);
HUXTOR_API uint16_t HUXTOR_STDCALL HuxPutGateVal(uint32_t clientId, uint32_t gateId, uint32_t two,
                                                 HuxCookedValue cooked, uint32_t zero1, uint32_t zero2);
HUXTOR_API void err(int level, const char* format, ...);

#ifdef __cplusplus
}
#endif

#endif
