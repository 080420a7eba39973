// The one polling loop of the driver: test a condition, wait a step, until it
// holds or a limit has passed on the platform's tick (wrap-safe).
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qel {

// Tests `condition` at least once; between tests calls `waitStep(leftMs)`,
// which may return early. True as soon as the condition holds; false once
// `limitMs` has passed since the call without it holding.
template <typename Condition, typename WaitStep>
bool PollUntil(uint32_t limitMs, Condition condition, WaitStep waitStep) {
    const uint32_t start = platform::Sys().tickMs();
    for (;;) {
        if (condition()) return true;
        const uint32_t elapsed = platform::Sys().tickMs() - start;
        if (elapsed >= limitMs) return false;
        waitStep(limitMs - elapsed);
    }
}

// A wait step that sleeps at most `stepMs`, never past the limit.
inline auto SleepStep(uint32_t stepMs) {
    return [stepMs](uint32_t leftMs) { platform::Sys().sleepMs(leftMs < stepMs ? leftMs : stepMs); };
}

}  // namespace qel
