// The per-instance listener: serves the instance's link while no request
// claims it, and hands each frame of the bus to the commands' decoder.
#pragma once

#include <cstdint>

#include "abi/records.h"

namespace qel {

constexpr uint32_t kListenerStackBytes = 16384;

// Thread procedure; the argument is the ColdStart RequestBlock.
void CatchThread(void* coldStartRequest);

}  // namespace qel
