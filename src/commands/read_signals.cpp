#include "commands/read_signals.h"

#include <atomic>

#include "abi/records.h"

namespace qel {
namespace {

constexpr uint32_t kNothingExpected = 0;

std::atomic<int32_t> g_frameFlag[kInstanceSlots];
std::atomic<int32_t> g_valueFlag[kInstanceSlots];
std::atomic<uint32_t> g_expected[kInstanceSlots];  // size << 16 | address
std::atomic<uint32_t> g_expectedValue[kInstanceSlots];

uint32_t KeyOf(ValueSize size, uint16_t address) { return static_cast<uint32_t>(size) << 16 | address; }

}  // namespace

void SetFrameFlag(int32_t number) {
    if (IsInstanceNumber(number)) g_frameFlag[number].store(1, std::memory_order_release);
}

bool FrameFlagSet(int32_t number) {
    return IsInstanceNumber(number) && g_frameFlag[number].load(std::memory_order_acquire) != 0;
}

bool ValueFlagSet(int32_t number) {
    return IsInstanceNumber(number) && g_valueFlag[number].load(std::memory_order_acquire) != 0;
}

void ClearFlags(int32_t number) {
    if (!IsInstanceNumber(number)) return;
    g_frameFlag[number].store(0, std::memory_order_release);
    g_valueFlag[number].store(0, std::memory_order_release);
}

void ExpectValue(int32_t number, ValueSize size, uint16_t address) {
    if (IsInstanceNumber(number)) g_expected[number].store(KeyOf(size, address), std::memory_order_release);
}

void ForgetExpectedValue(int32_t number) {
    if (IsInstanceNumber(number)) g_expected[number].store(kNothingExpected, std::memory_order_release);
}

void OfferValue(int32_t number, ValueSize size, uint16_t address, uint16_t value) {
    if (!IsInstanceNumber(number)) return;
    if (g_expected[number].load(std::memory_order_acquire) != KeyOf(size, address)) return;
    g_expectedValue[number].store(value, std::memory_order_relaxed);
    g_valueFlag[number].store(1, std::memory_order_release);
}

uint16_t ExpectedValue(int32_t number) {
    if (!IsInstanceNumber(number)) return 0;
    return static_cast<uint16_t>(g_expectedValue[number].load(std::memory_order_relaxed));
}

}  // namespace qel
