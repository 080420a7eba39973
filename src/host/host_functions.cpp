#include "host/host_functions.h"

#include <atomic>
#include <mutex>

#include "platform/platform.h"

namespace qel::host {
namespace {

Functions g_functions{};
std::once_flag g_bindOnce;
std::atomic<bool> g_bound{false};

template <typename Fn>
bool BindOne(Fn& slot, const char* name) {
    slot = reinterpret_cast<Fn>(platform::Sys().hostSymbol(name));
    return slot != nullptr;
}

}  // namespace

bool Bind() {
    std::call_once(g_bindOnce, [] {
        bool ok = BindOne(g_functions.mkClient, "HuxMkClient");
        ok = BindOne(g_functions.rmClient, "HuxRmClient") && ok;
        ok = BindOne(g_functions.getGateRawValue, "HuxGetGateRawValue") && ok;
        ok = BindOne(g_functions.getGateIdByAddressStr, "HuxGetGateIdByAddressStr") && ok;
        ok = BindOne(g_functions.cook, "HuxCook") && ok;
        ok = BindOne(g_functions.putGateVal, "HuxPutGateVal") && ok;
        ok = BindOne(g_functions.err, "err") && ok;
        g_bound.store(ok, std::memory_order_release);
    });
    return g_bound.load(std::memory_order_acquire);
}

const Functions& BoundFunctions() { return g_functions; }

uint16_t HuxMkClient(const char* name, uint8_t* clientId) { return g_functions.mkClient(name, 1, 0, clientId); }

void HuxRmClient(uint8_t clientId) { g_functions.rmClient(clientId); }

uint16_t HuxGetGateRawValue(uint8_t clientId, uint32_t gateId, RawValue* raw) {
    return g_functions.getGateRawValue(clientId, gateId, raw, 0);
}

uint16_t HuxGetGateIdByAddressStr(uint8_t clientId, uint8_t hostByte, const char* address, uint32_t* gateId) {
    return g_functions.getGateIdByAddressStr(clientId, hostByte, address, gateId);
}

uint16_t HuxCook(uint8_t clientId, uint32_t gateId, RawValue raw, CookedValue* cooked) {
    return g_functions.cook(clientId, gateId, raw, cooked);
}

uint16_t HuxPutGateVal(uint8_t clientId, uint32_t gateId, CookedValue cooked) {
    return g_functions.putGateVal(clientId, gateId, 2, cooked, 0, 0);
}

}  // namespace qel::host
