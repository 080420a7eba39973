// The listener waits for the BCU while it holds the line, so that a frame the
// BCU announces is taken at once. A request that wants the line claims it
// first: the claim wakes the listener, which lets the line go and stays off it
// until no claim is left. A stop request wakes it too.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qel {

// The longest wait where the link cannot be waited on (a failed or pseudo port,
// CTS stuck on, no wake), and between turns while requests claim the line.
constexpr uint32_t kIdlePollMs = 20;
// The longest wait of a listener's turn on a link that can be waited on; a
// claim or a stop ends it at once, so this only bounds a wake that never comes.
constexpr uint32_t kCtsWaitLimitMs = 5000;

// Before the listener of `number` starts. False when no wake could be made:
// that listener then polls the line as a port without a CTS wait would.
bool PrepareListenerWake(int32_t number);
// The wake of `number`, nullptr when there is none.
platform::Wake* ListenerWake(int32_t number);
void WakeListener(int32_t number);
// Until a wake or `ms` passed; without a wake, a plain sleep.
void WaitForListenerWake(int32_t number, uint32_t ms);

void ClaimLine(int32_t number);
void UnclaimLine(int32_t number);
bool LineClaimed(int32_t number);

}  // namespace qel
