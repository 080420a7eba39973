// The Win32 COMMTIMEOUTS rules for one read, for ports that emulate them.
#pragma once

#include <algorithm>
#include <cstdint>

#include "platform/platform.h"

namespace qel::platform {

// How much longer a read of n bytes may wait for the next byte: kInfinite for
// no limit, 0 when the read must return Now with what it has.
inline uint32_t ReadWaitMs(const Timeouts& t, uint32_t n, uint32_t sinceStartMs, uint32_t sinceLastByteMs,
                           bool anyByte) {
    constexpr uint32_t kMax = 0xFFFFFFFFu;
    constexpr uint64_t kLongest = 0x7FFFFFFFu;  // beyond any wait we mean, within every clock's range
    if (t.readInterval == kMax && t.readTotalMultiplier == 0 && t.readTotalConstant == 0) return 0;
    uint64_t limit = kInfinite;
    const uint64_t total = uint64_t{t.readTotalMultiplier} * n + t.readTotalConstant;
    if (total != 0) limit = total > sinceStartMs ? std::min(total - sinceStartMs, kLongest) : 0;
    if (t.readInterval != 0 && t.readInterval != kMax && anyByte) {
        const uint64_t gap = t.readInterval > sinceLastByteMs ? t.readInterval - sinceLastByteMs : 0;
        limit = limit == kInfinite ? gap : std::min(limit, gap);
    }
    return static_cast<uint32_t>(limit);
}

}  // namespace qel::platform
