// Wakes on Windows: an auto-reset event, waitable beside an overlapped read.
#include <windows.h>

#include <new>

#include "platform/win32/win32_backend.h"

namespace qel::platform {

struct Wake {
    HANDLE event;
};

namespace win32 {

Wake* CreateWake() {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) return nullptr;
    auto* wake = new (std::nothrow) Wake{event};
    if (wake == nullptr) CloseHandle(event);
    return wake;
}

void SignalWake(Wake* wake) { SetEvent(wake->event); }

bool WaitWake(Wake* wake, uint32_t timeoutMs) { return WaitForSingleObject(wake->event, timeoutMs) == WAIT_OBJECT_0; }

void CloseWake(Wake* wake) {
    CloseHandle(wake->event);
    delete wake;
}

HANDLE WakeHandle(Wake* wake) { return wake->event; }

}  // namespace win32
}  // namespace qel::platform
