#include "link/listener_wake.h"

#include <atomic>

#include "abi/records.h"

namespace qel {
namespace {

// One wake per instance number, kept for the life of the process: a listener
// that outlived its EndQel may still wait on it.
std::atomic<platform::Wake*> g_wakes[kInstanceSlots];
std::atomic<int32_t> g_claims[kInstanceSlots];

}  // namespace

bool PrepareListenerWake(int32_t number) {
    if (!IsInstanceNumber(number)) return false;
    if (g_wakes[number].load(std::memory_order_acquire) != nullptr) return true;
    platform::Wake* wake = platform::Sys().createWake();
    if (wake == nullptr) return false;
    platform::Wake* expected = nullptr;
    if (!g_wakes[number].compare_exchange_strong(expected, wake, std::memory_order_acq_rel))
        platform::Sys().closeWake(wake);
    return true;
}

platform::Wake* ListenerWake(int32_t number) {
    return IsInstanceNumber(number) ? g_wakes[number].load(std::memory_order_acquire) : nullptr;
}

void WakeListener(int32_t number) {
    if (platform::Wake* wake = ListenerWake(number)) platform::Sys().signalWake(wake);
}

void WaitForListenerWake(int32_t number, uint32_t ms) {
    if (platform::Wake* wake = ListenerWake(number)) platform::Sys().waitWake(wake, ms);
    else platform::Sys().sleepMs(ms);
}

void ClaimLine(int32_t number) {
    if (!IsInstanceNumber(number)) return;
    g_claims[number].fetch_add(1, std::memory_order_acq_rel);
    WakeListener(number);
}

void UnclaimLine(int32_t number) {
    if (!IsInstanceNumber(number)) return;
    // The last claim gone: the listener may take the line again.
    if (g_claims[number].fetch_sub(1, std::memory_order_acq_rel) == 1) WakeListener(number);
}

bool LineClaimed(int32_t number) {
    return IsInstanceNumber(number) && g_claims[number].load(std::memory_order_acquire) > 0;
}

}  // namespace qel
