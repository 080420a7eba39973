// The per-instance listener: waits for CTS and takes each frame the BCU announces.
#pragma once

#include <cstdint>

#include "abi/records.h"

namespace qel {

constexpr uint32_t kListenerStackBytes = 16384;
constexpr uint32_t kSettlingMs = 5000;
// The longest wait where the line cannot be waited on (a failed or pseudo port,
// CTS stuck on, no wake), and between turns while requests claim the line.
constexpr uint32_t kIdlePollMs = 20;
// The longest wait for CTS on a line that can be waited on; a claim or a stop
// ends it at once, so this only bounds a wake that never comes.
constexpr uint32_t kCtsWaitLimitMs = 5000;
constexpr uint32_t kBackToBackPauseMs = 1;

// Thread procedure; the argument is the ColdStart RequestBlock.
void CatchThread(void* coldStartRequest);

}  // namespace qel
