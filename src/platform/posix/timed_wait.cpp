#include "platform/posix/timed_wait.h"

#include <cerrno>

#include "platform/platform.h"

namespace qel::platform::posix {

timespec DeadlineAfter(uint32_t ms) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += static_cast<time_t>(ms / 1000u);
    ts.tv_nsec += static_cast<long>(ms % 1000u) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

bool WaitForFlag(pthread_mutex_t* lock, pthread_cond_t* changed, const bool& flag, uint32_t timeoutMs) {
    const timespec deadline = DeadlineAfter(timeoutMs == kInfinite ? 0 : timeoutMs);
    pthread_mutex_lock(lock);
    while (!flag) {
        if (timeoutMs == kInfinite) {
            pthread_cond_wait(changed, lock);
        } else if (pthread_cond_timedwait(changed, lock, &deadline) == ETIMEDOUT) {
            break;
        }
    }
    const bool set = flag;
    pthread_mutex_unlock(lock);
    return set;
}

}  // namespace qel::platform::posix
