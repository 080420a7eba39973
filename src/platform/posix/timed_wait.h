// Waiting on a flag guarded by a mutex and a condition variable, with an
// optional limit (kInfinite: none), on the monotonic clock.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstdint>

namespace qel::platform::posix {

timespec DeadlineAfter(uint32_t ms);
// Waits until `flag` is set or the limit passes; returns the flag.
bool WaitForFlag(pthread_mutex_t* lock, pthread_cond_t* changed, const bool& flag, uint32_t timeoutMs);

}  // namespace qel::platform::posix
