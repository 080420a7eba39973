// Wakes on posix: an eventfd, so that a port wait can poll it beside the line.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/posix/posix_backend.h"

namespace qel::platform {

struct Wake {
    int fd;
};

namespace posix {

Wake* CreateWake() {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return nullptr;
    auto* wake = new (std::nothrow) Wake{fd};
    if (wake == nullptr) close(fd);
    return wake;
}

void SignalWake(Wake* wake) {
    const uint64_t one = 1;
    // A full counter is still signalled.
    while (write(wake->fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool TakeWake(Wake* wake) {
    uint64_t count = 0;
    return read(wake->fd, &count, sizeof count) == sizeof count;
}

bool WaitWake(Wake* wake, uint32_t timeoutMs) {
    const uint32_t start = TickMs();
    for (;;) {
        const uint32_t elapsed = TickMs() - start;
        const int left = timeoutMs == kInfinite ? -1 : static_cast<int>(elapsed < timeoutMs ? timeoutMs - elapsed : 0);
        pollfd pfd{wake->fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, left);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        if (TakeWake(wake)) return true;
    }
}

void CloseWake(Wake* wake) {
    close(wake->fd);
    delete wake;
}

int WakeFd(Wake* wake) { return wake->fd; }

}  // namespace posix
}  // namespace qel::platform
