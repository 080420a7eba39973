// The seven functions of the host library, bound to that library itself at
// the first request (never resolved through the process-wide symbol scope, so
// the host's `err` cannot be confused with the C library's err(3)).
#pragma once

#include <cstdint>

#include "abi/records.h"

namespace qel::host {

using MkClientFn = uint16_t(QEL_STDCALL*)(const char* name, uint32_t one, uint32_t zero, uint8_t* clientId);
using RmClientFn = uint16_t(QEL_STDCALL*)(uint32_t clientId);
using GetGateRawValueFn = uint16_t(QEL_STDCALL*)(uint32_t clientId, uint32_t gateId, RawValue* raw, uint32_t zero);
using GetGateIdByAddressStrFn = uint16_t(QEL_STDCALL*)(uint32_t clientId, uint32_t hostByte, const char* address,
                                                       uint32_t* gateId);
using CookFn = uint16_t(QEL_STDCALL*)(uint32_t clientId, uint32_t gateId, RawValue raw, CookedValue* cooked);
using PutGateValFn = uint16_t(QEL_STDCALL*)(uint32_t clientId, uint32_t gateId, uint32_t two, CookedValue cooked,
                                            uint32_t zero1, uint32_t zero2);
using ErrFn = void (*)(int level, const char* format, ...);

struct Functions {
    MkClientFn mkClient;
    RmClientFn rmClient;
    GetGateRawValueFn getGateRawValue;
    GetGateIdByAddressStrFn getGateIdByAddressStr;
    CookFn cook;
    PutGateValFn putGateVal;
    ErrFn err;
};

// Binds the table once; true when all seven functions were found.
bool Bind();
// The bound table. Only valid after Bind() returned true.
const Functions& BoundFunctions();

// Thin wrappers the driver calls.
uint16_t HuxMkClient(const char* name, uint8_t* clientId);
void HuxRmClient(uint8_t clientId);
uint16_t HuxGetGateRawValue(uint8_t clientId, uint32_t gateId, RawValue* raw);
uint16_t HuxGetGateIdByAddressStr(uint8_t clientId, uint8_t hostByte, const char* address, uint32_t* gateId);
uint16_t HuxCook(uint8_t clientId, uint32_t gateId, RawValue raw, CookedValue* cooked);
uint16_t HuxPutGateVal(uint8_t clientId, uint32_t gateId, CookedValue cooked);

}  // namespace qel::host
