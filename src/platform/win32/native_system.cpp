#include <windows.h>

#include <atomic>
#include <cstdio>

#include "platform/win32/win32_backend.h"

namespace qel::platform {
namespace win32 {
namespace {

uint32_t TickMs() { return GetTickCount(); }

void SleepMs(uint32_t ms) { Sleep(ms); }

HMODULE HostLibrary() {
    static std::atomic<HMODULE> cached{nullptr};
    HMODULE module = cached.load(std::memory_order_acquire);
    if (module != nullptr) return module;
    module = GetModuleHandleA("HUXTOR.dll");
    if (module == nullptr) module = LoadLibraryA("HUXTOR.dll");
    if (module != nullptr) cached.store(module, std::memory_order_release);
    return module;
}

}  // namespace

void* HostSymbol(const char* name) {
    HMODULE module = HostLibrary();
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

bool LibraryPath(char* out, uint32_t size) {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&LibraryPath), &self))
        return false;
    const DWORD n = GetModuleFileNameA(self, out, size);
    return n > 0 && n < size;
}

}  // namespace win32

const System& NativeSystem() {
    static const System table = {
        .openPort = win32::OpenPort,
        .tickMs = win32::TickMs,
        .sleepMs = win32::SleepMs,
        .startThread = win32::StartThread,
        .joinThread = win32::JoinThread,
        .detachThread = win32::DetachThread,
        .threadEnded = win32::ThreadEnded,
        .setThreadPriority = win32::SetThreadPriority,
        .createEvent = win32::CreateNamedEvent,
        .setEvent = win32::SignalEvent,
        .waitEvent = win32::WaitForEvent,
        .closeEvent = win32::CloseNamedEvent,
        .createMutex = win32::CreateNamedMutex,
        .lockMutex = win32::LockNamedMutex,
        .unlockMutex = win32::UnlockNamedMutex,
        .closeMutex = win32::CloseNamedMutex,
        .hostSymbol = win32::HostSymbol,
        .createWake = win32::CreateWake,
        .signalWake = win32::SignalWake,
        .waitWake = win32::WaitWake,
        .closeWake = win32::CloseWake,
        .libraryPath = win32::LibraryPath,
        .resolveHost = win32::ResolveHost,
        .openDatagram = win32::OpenDatagram,
        .sendDatagram = win32::SendDatagram,
        .receiveDatagram = win32::ReceiveDatagram,
        .closeDatagram = win32::CloseDatagram,
        .connectTcp = win32::ConnectTcpStream,
        .openGroupDatagram = win32::OpenGroupDatagram,
        .joinGroup = win32::JoinGroup,
        .leaveGroup = win32::LeaveGroup,
        .setMulticastInterface = win32::SetMulticastInterface,
        .setMulticastLoop = win32::SetMulticastLoop,
    };
    return table;
}

}  // namespace qel::platform
