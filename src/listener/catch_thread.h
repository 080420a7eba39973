// The per-instance listener: watches CTS and takes each frame the BCU announces.
#pragma once

#include <cstdint>

#include "abi/records.h"

namespace qel {

constexpr uint32_t kListenerStackBytes = 16384;
constexpr uint32_t kSettlingMs = 5000;
constexpr uint32_t kIdlePollMs = 20;
constexpr uint32_t kBackToBackPauseMs = 1;

// Thread procedure; the argument is the ColdStart RequestBlock.
void CatchThread(void* coldStartRequest);

}  // namespace qel
