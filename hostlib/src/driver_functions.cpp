// The seven functions a driver imports. Each counts its call and may fail by
// plan before it does anything; then it checks the agreed constants, so a
// driver that passes arguments in the wrong slots is told so by a status.
#include <cstdarg>
#include <cstring>
#include <string>

#include "cooking.h"
#include "host_state.h"
#include "huxtor.h"
#include "message_format.h"
#include "statuses.h"

using huxtor::HostFunction;
using huxtor::state;

namespace {

constexpr uint32_t kMkClientOne = 1;
constexpr uint32_t kPutGateValMode = 2;

}  // namespace

extern "C" {

HUXTOR_API uint16_t HUXTOR_STDCALL HuxMkClient(const char* name, uint32_t one, uint32_t zero, uint8_t* clientId) {
    if (const uint16_t failed = state().failures.enter(HostFunction::kMkClient)) return failed;
    if (name == nullptr || clientId == nullptr || one != kMkClientOne || zero != 0) return huxtor::kBadArgument;
    const auto id = state().clients.add(name);
    if (!id) return huxtor::kNoFreeClientId;
    *clientId = *id;
    return huxtor::kOk;
}

HUXTOR_API uint16_t HUXTOR_STDCALL HuxRmClient(uint32_t clientId) {
    if (const uint16_t failed = state().failures.enter(HostFunction::kRmClient)) return failed;
    return state().clients.remove(clientId) ? huxtor::kOk : huxtor::kUnknownClient;
}

HUXTOR_API uint16_t HUXTOR_STDCALL HuxGetGateRawValue(uint32_t clientId, uint32_t gateId, HuxRawValue* raw,
                                                      uint32_t zero) {
    if (const uint16_t failed = state().failures.enter(HostFunction::kGetGateRawValue)) return failed;
    if (raw == nullptr || zero != 0) return huxtor::kBadArgument;
    if (!state().clients.contains(clientId)) return huxtor::kUnknownClient;
    const auto value = state().gates.raw(gateId);
    if (!value) return huxtor::kUnknownGate;
    raw->value = *value;
    return huxtor::kOk;
}

// The host byte is the driver's context from its start request; gates here are
// not partitioned by it.
HUXTOR_API uint16_t HUXTOR_STDCALL HuxGetGateIdByAddressStr(uint32_t clientId, uint32_t /*hostByte*/,
                                                            const char* address, uint32_t* gateId) {
    if (const uint16_t failed = state().failures.enter(HostFunction::kGetGateIdByAddressStr)) return failed;
    if (address == nullptr || gateId == nullptr) return huxtor::kBadArgument;
    if (!state().clients.contains(clientId)) return huxtor::kUnknownClient;
    const uint32_t id = state().gates.find(address);
    if (id == 0) return huxtor::kUnknownGate;
    *gateId = id;
    return huxtor::kOk;
}

HUXTOR_API uint16_t HUXTOR_STDCALL HuxCook(uint32_t clientId, uint32_t gateId, HuxRawValue raw,
                                           HuxCookedValue* cooked) {
    if (const uint16_t failed = state().failures.enter(HostFunction::kCook)) return failed;
    if (cooked == nullptr) return huxtor::kBadArgument;
    if (!state().clients.contains(clientId)) return huxtor::kUnknownClient;
    if (!state().gates.contains(gateId)) return huxtor::kUnknownGate;
    *cooked = huxtor::cook(raw.value);
    return huxtor::kOk;
}

HUXTOR_API uint16_t HUXTOR_STDCALL HuxPutGateVal(uint32_t clientId, uint32_t gateId, uint32_t two,
                                                 HuxCookedValue cooked, uint32_t zero1, uint32_t zero2) {
    if (const uint16_t failed = state().failures.enter(HostFunction::kPutGateVal)) return failed;
    if (two != kPutGateValMode || zero1 != 0 || zero2 != 0) return huxtor::kBadArgument;
    if (!state().clients.contains(clientId)) return huxtor::kUnknownClient;
    const uint16_t raw = huxtor::uncook(cooked);
    const auto address = state().gates.put(gateId, cooked, raw);
    if (!address) return huxtor::kUnknownGate;
    state().onPut.invoke(clientId, gateId, address->c_str(), raw);
    return huxtor::kOk;
}

// A planned failure of err drops the line.
HUXTOR_API void err(int level, const char* format, ...) {
    if (state().failures.enter(HostFunction::kErr) != 0) return;
    va_list args;
    va_start(args, format);
    std::string text = huxtor::formatMessage(format, args);
    va_end(args);
    state().log.append(level, text);
    state().onLog.invoke(level, text.c_str());
}

}  // extern "C"
