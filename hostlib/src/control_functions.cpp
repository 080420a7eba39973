// What a host program or a test does with the library beyond the driver's calls.
#include <cstring>
#include <string>

#include "cooking.h"
#include "host_state.h"
#include "huxtor_control.h"

using huxtor::state;

namespace {

// Copies as much of `text` as fits, always NUL-terminated.
void copyOut(const std::string& text, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return;
    const size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

}  // namespace

extern "C" {

HUXTOR_API void HuxCtlReset(void) { state().reset(); }

HUXTOR_API uint32_t HuxCtlAddGate(const char* address) {
    return address == nullptr ? 0 : state().gates.add(address);
}

HUXTOR_API uint32_t HuxCtlGateId(const char* address) {
    return address == nullptr ? 0 : state().gates.find(address);
}

HUXTOR_API int HuxCtlSetRaw(uint32_t gateId, uint16_t value) { return state().gates.setRaw(gateId, value) ? 0 : 1; }

HUXTOR_API int HuxCtlGetRaw(uint32_t gateId, uint16_t* value) {
    const auto raw = state().gates.raw(gateId);
    if (!raw) return 1;
    if (value != nullptr) *value = *raw;
    return 0;
}

HUXTOR_API int HuxCtlGetCooked(uint32_t gateId, HuxCookedValue* cooked) {
    const auto stored = state().gates.cooked(gateId);
    if (!stored) return 1;
    if (cooked != nullptr) *cooked = *stored;
    return 0;
}

HUXTOR_API uint32_t HuxCtlPutCount(uint32_t gateId) { return state().gates.putCount(gateId); }

HUXTOR_API uint16_t HuxCtlUncook(HuxCookedValue cooked) { return huxtor::uncook(cooked); }

HUXTOR_API uint32_t HuxCtlClientCount(void) { return state().clients.count(); }

// 1 and the name copied when the client is registered, 0 (and "") when not.
HUXTOR_API int HuxCtlClientName(uint32_t clientId, char* buffer, size_t size) {
    const auto name = state().clients.name(clientId);
    copyOut(name.value_or(std::string()), buffer, size);
    return name ? 1 : 0;
}

HUXTOR_API uint32_t HuxCtlLogCount(void) { return state().log.count(); }

HUXTOR_API int HuxCtlLogLine(uint32_t index, int* level, char* buffer, size_t size) {
    const auto line = state().log.line(index);
    if (!line) return 1;
    if (level != nullptr) *level = line->level;
    copyOut(line->text, buffer, size);
    return 0;
}

HUXTOR_API void HuxCtlLogClear(void) { state().log.clear(); }

HUXTOR_API int HuxCtlLogEcho(const char* path) { return state().log.echoTo(path) ? 0 : 1; }

HUXTOR_API void HuxCtlFail(const char* name, uint16_t status, uint32_t after, int32_t times) {
    if (const auto function = huxtor::hostFunctionNamed(name)) state().failures.plan(*function, status, after, times);
}

HUXTOR_API uint32_t HuxCtlCallCount(const char* name) {
    const auto function = huxtor::hostFunctionNamed(name);
    return function ? state().failures.calls(*function) : 0;
}

HUXTOR_API void HuxCtlOnPut(HuxCtlPutCallback callback, void* context) { state().onPut.set(callback, context); }

HUXTOR_API void HuxCtlOnLog(HuxCtlLogCallback callback, void* context) { state().onLog.set(callback, context); }

}  // extern "C"
