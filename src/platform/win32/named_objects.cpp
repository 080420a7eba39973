// Named events and mutexes: the kernel's own objects, shared by name across processes.
#include <windows.h>

#include "platform/win32/win32_backend.h"

namespace qel::platform::win32 {
namespace {

HANDLE handleOf(void* object) { return reinterpret_cast<HANDLE>(object); }
const char* nameOrNull(const char* name) { return name != nullptr && name[0] != '\0' ? name : nullptr; }

WaitResult waitFor(HANDLE h, uint32_t timeoutMs) {
    if (h == nullptr) return WaitResult::kFailed;
    switch (WaitForSingleObject(h, timeoutMs)) {
    case WAIT_OBJECT_0: return WaitResult::kSignalled;
    case WAIT_ABANDONED: return WaitResult::kAbandoned;
    case WAIT_TIMEOUT: return WaitResult::kTimedOut;
    default: return WaitResult::kFailed;
    }
}

}  // namespace

Event* createEvent(const char* name) {
    return reinterpret_cast<Event*>(CreateEventA(nullptr, TRUE, FALSE, nameOrNull(name)));
}
bool setEvent(Event* e) { return e != nullptr && SetEvent(handleOf(e)) != 0; }
WaitResult waitEvent(Event* e, uint32_t timeoutMs) { return waitFor(handleOf(e), timeoutMs); }
bool closeEvent(Event* e) { return e != nullptr && CloseHandle(handleOf(e)) != 0; }

Mutex* createMutex(const char* name) {
    return reinterpret_cast<Mutex*>(CreateMutexA(nullptr, FALSE, nameOrNull(name)));
}
WaitResult lockMutex(Mutex* m, uint32_t timeoutMs) { return waitFor(handleOf(m), timeoutMs); }
bool unlockMutex(Mutex* m) { return m != nullptr && ReleaseMutex(handleOf(m)) != 0; }
bool closeMutex(Mutex* m) { return m != nullptr && CloseHandle(handleOf(m)) != 0; }

}  // namespace qel::platform::win32
