// The driver's one export.
#pragma once

#include <cstdint>

#include "abi/records.h"

#ifdef _WIN32
#define QEL_EXPORT __declspec(dllexport)
#else
#define QEL_EXPORT __attribute__((visibility("default")))
#endif

namespace qel {
// QelMain's work: picks the operation by function code and returns the host's number for its result.
int32_t Dispatch(RequestBlock* request);
}  // namespace qel

extern "C" QEL_EXPORT int32_t QEL_STDCALL QelMain(qel::RequestBlock* request);
