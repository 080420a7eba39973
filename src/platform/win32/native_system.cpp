#include <windows.h>

#include <atomic>
#include <cstdio>

#include "platform/win32/win32_backend.h"

namespace qel::platform {
namespace win32 {
namespace {

uint32_t tickMs() { return GetTickCount(); }

void sleepMs(uint32_t ms) { Sleep(ms); }

HMODULE hostLibrary() {
    static std::atomic<HMODULE> cached{nullptr};
    HMODULE module = cached.load(std::memory_order_acquire);
    if (module != nullptr) return module;
    module = GetModuleHandleA("HUXTOR.dll");
    if (module == nullptr) module = LoadLibraryA("HUXTOR.dll");
    if (module != nullptr) cached.store(module, std::memory_order_release);
    return module;
}

}  // namespace

void* hostSymbol(const char* name) {
    HMODULE module = hostLibrary();
    if (module == nullptr || name == nullptr) return nullptr;
    if (FARPROC f = GetProcAddress(module, name)) return reinterpret_cast<void*>(f);
    // A host library built without a .def file exports its stdcall functions decorated.
    char decorated[160];
    for (int bytes = 0; bytes <= 64; bytes += 4) {
        for (const char* format : {"_%s@%d", "%s@%d"}) {
            const int n = std::snprintf(decorated, sizeof decorated, format, name, bytes);
            if (n <= 0 || static_cast<size_t>(n) >= sizeof decorated) continue;
            if (FARPROC f = GetProcAddress(module, decorated)) return reinterpret_cast<void*>(f);
        }
    }
    return nullptr;
}

}  // namespace win32

const System& NativeSystem() {
    static const System table = {
        win32::openPort,    win32::tickMs,      win32::sleepMs,    win32::startThread,
        win32::joinThread,  win32::threadEnded, win32::setThreadPriority,
        win32::createEvent, win32::setEvent,    win32::waitEvent,  win32::closeEvent,
        win32::createMutex, win32::lockMutex,   win32::unlockMutex, win32::closeMutex,
        win32::hostSymbol,
    };
    return table;
}

}  // namespace qel::platform
