// Named events and mutexes: the kernel's own objects, shared by name across processes.
#include <windows.h>

#include "platform/win32/win32_backend.h"

namespace qel::platform::win32 {
namespace {

HANDLE HandleOf(void* object) { return reinterpret_cast<HANDLE>(object); }
const char* NameOrNull(const char* name) { return name != nullptr && name[0] != '\0' ? name : nullptr; }

WaitResult WaitFor(HANDLE h, uint32_t timeoutMs) {
    if (h == nullptr) return WaitResult::kFailed;
    switch (WaitForSingleObject(h, timeoutMs)) {
    case WAIT_OBJECT_0: return WaitResult::kSignalled;
    case WAIT_ABANDONED: return WaitResult::kAbandoned;
    case WAIT_TIMEOUT: return WaitResult::kTimedOut;
    default: return WaitResult::kFailed;
    }
}

}  // namespace

Event* CreateNamedEvent(const char* name) {
    return reinterpret_cast<Event*>(CreateEventA(nullptr, TRUE, FALSE, NameOrNull(name)));
}
bool SignalEvent(Event* e) { return e != nullptr && SetEvent(HandleOf(e)) != 0; }
WaitResult WaitForEvent(Event* e, uint32_t timeoutMs) { return WaitFor(HandleOf(e), timeoutMs); }
bool CloseNamedEvent(Event* e) { return e != nullptr && CloseHandle(HandleOf(e)) != 0; }

Mutex* CreateNamedMutex(const char* name) {
    return reinterpret_cast<Mutex*>(CreateMutexA(nullptr, FALSE, NameOrNull(name)));
}
WaitResult LockNamedMutex(Mutex* m, uint32_t timeoutMs) { return WaitFor(HandleOf(m), timeoutMs); }
bool UnlockNamedMutex(Mutex* m) { return m != nullptr && ReleaseMutex(HandleOf(m)) != 0; }
bool CloseNamedMutex(Mutex* m) { return m != nullptr && CloseHandle(HandleOf(m)) != 0; }

}  // namespace qel::platform::win32
