#include "platform/cts_poll.h"

#include <algorithm>

namespace qel::platform {

bool PollCtsUntilWoken(Port* port, Wake* wake, uint32_t maxMs) {
    const System& os = NativeSystem();
    const uint32_t start = os.tickMs();
    for (;;) {
        bool on = false;
        if (!port->methods->getCts(port, &on)) return false;
        const uint32_t elapsed = os.tickMs() - start;
        if (on || elapsed >= maxMs) return true;
        if (os.waitWake(wake, std::min(maxMs - elapsed, kCtsCheckMs))) return true;
    }
}

}  // namespace qel::platform
