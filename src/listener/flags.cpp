#include "listener/flags.h"

#include <atomic>

namespace qel {
namespace {

constexpr uint32_t kNothingExpected = 0;

std::atomic<int32_t> g_frameFlag[kFlagSlots];
std::atomic<int32_t> g_valueFlag[kFlagSlots];
std::atomic<uint32_t> g_expected[kFlagSlots];       // size << 16 | group address
std::atomic<uint32_t> g_expectedValue[kFlagSlots];
std::atomic<bool> g_stop[kFlagSlots];

uint32_t KeyOf(ValueSize size, uint16_t groupAddress) {
    return static_cast<uint32_t>(size) << 16 | groupAddress;
}

}  // namespace

void SetFrameFlag(int32_t number) {
    if (IsInstanceNumber(number)) g_frameFlag[number].store(1, std::memory_order_release);
}

bool FrameFlagSet(int32_t number) {
    return IsInstanceNumber(number) && g_frameFlag[number].load(std::memory_order_acquire) != 0;
}

void SetValueFlag(int32_t number) {
    if (IsInstanceNumber(number)) g_valueFlag[number].store(1, std::memory_order_release);
}

bool ValueFlagSet(int32_t number) {
    return IsInstanceNumber(number) && g_valueFlag[number].load(std::memory_order_acquire) != 0;
}

void ClearFlags(int32_t number) {
    if (!IsInstanceNumber(number)) return;
    g_frameFlag[number].store(0, std::memory_order_release);
    g_valueFlag[number].store(0, std::memory_order_release);
}

void ExpectValue(int32_t number, ValueSize size, uint16_t groupAddress) {
    if (IsInstanceNumber(number)) g_expected[number].store(KeyOf(size, groupAddress), std::memory_order_release);
}

void ForgetExpectedValue(int32_t number) {
    if (IsInstanceNumber(number)) g_expected[number].store(kNothingExpected, std::memory_order_release);
}

void OfferValue(int32_t number, ValueSize size, uint16_t groupAddress, uint16_t value) {
    if (!IsInstanceNumber(number)) return;
    if (g_expected[number].load(std::memory_order_acquire) != KeyOf(size, groupAddress)) return;
    g_expectedValue[number].store(value, std::memory_order_relaxed);
    g_valueFlag[number].store(1, std::memory_order_release);
}

uint16_t ExpectedValue(int32_t number) {
    if (!IsInstanceNumber(number)) return 0;
    return static_cast<uint16_t>(g_expectedValue[number].load(std::memory_order_relaxed));
}

void RequestListenerStop(int32_t number) {
    if (IsInstanceNumber(number)) g_stop[number].store(true, std::memory_order_release);
}

void ClearListenerStop(int32_t number) {
    if (IsInstanceNumber(number)) g_stop[number].store(false, std::memory_order_release);
}

bool ListenerStopRequested(int32_t number) {
    return IsInstanceNumber(number) && g_stop[number].load(std::memory_order_acquire);
}

}  // namespace qel
