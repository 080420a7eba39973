#include "link/listener_stop.h"

#include <atomic>

#include "abi/records.h"
#include "link/listener_wake.h"

namespace qel {
namespace {
std::atomic<bool> g_stop[kInstanceSlots];
}  // namespace

void RequestListenerStop(int32_t number) {
    if (!IsInstanceNumber(number)) return;
    g_stop[number].store(true, std::memory_order_release);
    WakeListener(number);
}

void ClearListenerStop(int32_t number) {
    if (IsInstanceNumber(number)) g_stop[number].store(false, std::memory_order_release);
}

bool ListenerStopRequested(int32_t number) {
    return IsInstanceNumber(number) && g_stop[number].load(std::memory_order_acquire);
}

}  // namespace qel
