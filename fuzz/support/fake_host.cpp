#include "fuzz/support/fake_host.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "abi/records.h"
#include "host/host_functions.h"

namespace qel::fuzz {
namespace {

#define FUZZ_STDCALL __attribute__((stdcall))

uint32_t g_now = 0;
HostState g_host;
platform::ByteStream* g_offered = nullptr;

uint32_t TickMs() { return ++g_now; }
void SleepMs(uint32_t ms) { g_now += ms; }
// Nothing else runs in this world: a wait on a wake is its whole time on the clock.
bool WaitWake(platform::Wake*, uint32_t ms) {
    if (ms != platform::kInfinite) g_now += ms;
    return false;
}
bool SetThreadPriority(platform::Priority) { return false; }

platform::Port* OpenPort(const char*) {
    platform::ByteStream* stream = g_offered;
    g_offered = nullptr;
    return stream == nullptr ? nullptr : platform::OpenVirtualPort(stream);
}

uint16_t FUZZ_STDCALL MkClient(const char*, uint32_t, uint32_t, uint8_t* clientId) {
    *clientId = 1;
    return 0;
}
uint16_t FUZZ_STDCALL RmClient(uint32_t) { return 0; }
uint16_t FUZZ_STDCALL GetGateRawValue(uint32_t, uint32_t, RawValue* raw, uint32_t) {
    raw->word0 = 0;
    raw->value = g_host.rawValue;
    return 0;
}
uint16_t FUZZ_STDCALL GetGateIdByAddressStr(uint32_t, uint32_t, const char* address, uint32_t* gateId) {
    g_host.lastAddress = address;
    if (g_host.onLookup != nullptr) g_host.onLookup(address);
    if (g_host.lookupFails) return 1;
    *gateId = 7;
    return 0;
}
uint16_t FUZZ_STDCALL Cook(uint32_t, uint32_t, RawValue raw, CookedValue* cooked) {
    std::memset(cooked, 0, sizeof *cooked);
    std::memcpy(cooked->bytes, &raw.value, sizeof raw.value);
    return g_host.cookFails ? 1 : 0;
}
uint16_t FUZZ_STDCALL PutGateVal(uint32_t, uint32_t, uint32_t, CookedValue, uint32_t, uint32_t) {
    ++g_host.deliveries;
    return g_host.putFails ? 1 : 0;
}
// Formats every line as the host would, so a bad format or argument shows.
void Err(int, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
}

void* HostSymbol(const char* name) {
    struct Entry {
        const char* name;
        void* function;
    };
    static const Entry kEntries[] = {
        {"HuxMkClient", reinterpret_cast<void*>(MkClient)},
        {"HuxRmClient", reinterpret_cast<void*>(RmClient)},
        {"HuxGetGateRawValue", reinterpret_cast<void*>(GetGateRawValue)},
        {"HuxGetGateIdByAddressStr", reinterpret_cast<void*>(GetGateIdByAddressStr)},
        {"HuxCook", reinterpret_cast<void*>(Cook)},
        {"HuxPutGateVal", reinterpret_cast<void*>(PutGateVal)},
        {"err", reinterpret_cast<void*>(Err)},
    };
    for (const Entry& entry : kEntries)
        if (std::strcmp(entry.name, name) == 0) return entry.function;
    return nullptr;
}

platform::System MakeSystem() {
    platform::System table = platform::NativeSystem();
    table.openPort = OpenPort;
    table.tickMs = TickMs;
    table.sleepMs = SleepMs;
    table.waitWake = WaitWake;
    table.setThreadPriority = SetThreadPriority;
    table.hostSymbol = HostSymbol;
    return table;
}

}  // namespace

void InstallFakeWorld() {
    static const platform::System table = MakeSystem();
    platform::SetSystem(&table);
    // QelMain binds the host functions at its first request; targets that call
    // inner functions directly need them bound too.
    if (!host::Bind()) __builtin_trap();
    g_now = 0;
    g_host = HostState{};
    g_offered = nullptr;
}

void OfferStream(platform::ByteStream* stream) { g_offered = stream; }

HostState& Host() { return g_host; }

uint32_t FakeNow() { return g_now; }

}  // namespace qel::fuzz
