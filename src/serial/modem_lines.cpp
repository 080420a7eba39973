#include "host/log.h"
#include "link/poll_until.h"
#include "serial/port_handle.h"

namespace qel {
namespace {

constexpr uint32_t kCtsOnLimitMs = 10;

void SetLine(PortHandle handle, platform::ModemLine line, uint32_t on, const char* failure) {
    platform::Port* port = PortOf(handle);
    if (port == nullptr) return;
    if (!port->methods->setModemLine(port, line, on == 1)) QEL_LOG(failure);
}

// Polls `condition` without sleeping; a virtual line lets the poll block on
// its stream between tests instead of spinning.
template <typename Condition>
bool PollFor(PortHandle handle, uint32_t limitMs, Condition condition) {
    platform::Port* port = PortOf(handle);
    if (port == nullptr) return false;
    return PollUntil(limitMs, condition, [port](uint32_t) { port->methods->awaitLine(port, 1); });
}

}  // namespace

void CommSetRts(PortHandle handle, uint32_t on) {
    SetLine(handle, platform::ModemLine::kRts, on, text::kRtsFailed);
}

void CommSetDtr(PortHandle handle, uint32_t on) {
    SetLine(handle, platform::ModemLine::kDtr, on, text::kDtrFailed);
}

bool CommGetCts(PortHandle handle) {
    platform::Port* port = PortOf(handle);
    if (port == nullptr) return false;
    bool on = false;
    if (!port->methods->getCts(port, &on)) {
        QEL_LOG(text::kCtsReadFailed);
        return false;
    }
    return on;
}

bool CommWaitCtsOn(PortHandle handle) {
    return PollFor(handle, kCtsOnLimitMs, [handle] { return CommGetCts(handle); });
}

bool CommWaitCtsOff(PortHandle handle, uint32_t limitMs) {
    return PollFor(handle, limitMs, [handle] { return !CommGetCts(handle); });
}

bool CommWaitRxBytes(PortHandle handle, uint32_t limitMs) {
    return PollFor(handle, limitMs, [handle] { return CommBytesWaiting(handle) > 0; });
}

bool CommAwaitCts(PortHandle handle, platform::Wake* wake, uint32_t limitMs) {
    platform::Port* port = PortOf(handle);
    if (port == nullptr || wake == nullptr) return false;
    return port->methods->awaitCts(port, wake, limitMs);
}

}  // namespace qel
