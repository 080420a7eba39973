#include "commands/read_signals.h"

#include <atomic>

#include "abi/records.h"
#include "platform/platform.h"
#include "link/poll_until.h"

namespace qel {
namespace {

constexpr uint32_t kNothingExpected = 0;
constexpr uint32_t kFlagPollMs = 10;  // only without a wake

std::atomic<int32_t> g_frameFlag[kInstanceSlots];
std::atomic<int32_t> g_valueFlag[kInstanceSlots];
std::atomic<uint32_t> g_expected[kInstanceSlots];  // size << 16 | address
std::atomic<uint32_t> g_expectedValue[kInstanceSlots];
// Signalled when a value flag is set; made at the first read and kept for the
// life of the process, as a listener may still offer a value after EndQel.
std::atomic<platform::Wake*> g_answerWakes[kInstanceSlots];

platform::Wake* AnswerWake(int32_t number) {
    platform::Wake* wake = g_answerWakes[number].load(std::memory_order_acquire);
    if (wake != nullptr) return wake;
    wake = platform::Sys().createWake();
    if (wake == nullptr) return nullptr;
    platform::Wake* expected = nullptr;
    if (g_answerWakes[number].compare_exchange_strong(expected, wake, std::memory_order_acq_rel)) return wake;
    platform::Sys().closeWake(wake);
    return expected;
}

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
    if (platform::Wake* wake = g_answerWakes[number].load(std::memory_order_acquire)) platform::Sys().signalWake(wake);
}

bool WaitValueFlag(int32_t number, uint32_t limitMs) {
    if (!IsInstanceNumber(number)) return false;
    platform::Wake* wake = AnswerWake(number);
    // A signal left from an earlier answer only costs one more look at the flag.
    return PollUntil(limitMs, [number] { return ValueFlagSet(number); }, [wake](uint32_t leftMs) {
        if (wake != nullptr) platform::Sys().waitWake(wake, leftMs);
        else platform::Sys().sleepMs(leftMs < kFlagPollMs ? leftMs : kFlagPollMs);
    });
}

uint16_t ExpectedValue(int32_t number) {
    if (!IsInstanceNumber(number)) return 0;
    return static_cast<uint16_t>(g_expectedValue[number].load(std::memory_order_relaxed));
}

}  // namespace qel
