#include <windows.h>

#include <new>

#include "platform/win32/win32_backend.h"

namespace qel::platform::win32 {
namespace {

struct StartBlock {
    ThreadProc proc;
    void* arg;
};

DWORD WINAPI trampoline(LPVOID raw) {
    const StartBlock block = *static_cast<StartBlock*>(raw);
    delete static_cast<StartBlock*>(raw);
    block.proc(block.arg);
    return 0;
}

HANDLE HandleOf(Thread* t) { return reinterpret_cast<HANDLE>(t); }

}  // namespace

Thread* StartThread(ThreadProc proc, void* arg, uint32_t stackBytes, uint32_t* id) {
    auto* block = new (std::nothrow) StartBlock{proc, arg};
    if (block == nullptr) return nullptr;
    DWORD threadId = 0;
    HANDLE h = CreateThread(nullptr, stackBytes, trampoline, block, 0, &threadId);
    if (h == nullptr) {
        delete block;
        return nullptr;
    }
    if (id != nullptr) *id = threadId;
    return reinterpret_cast<Thread*>(h);
}

bool JoinThread(Thread* t, uint32_t timeoutMs) {
    if (t == nullptr || WaitForSingleObject(HandleOf(t), timeoutMs) != WAIT_OBJECT_0) return false;
    CloseHandle(HandleOf(t));
    return true;
}

void DetachThread(Thread* t) {
    if (t != nullptr) CloseHandle(HandleOf(t));  // the thread object goes when the thread ends
}

bool ThreadEnded(Thread* t) { return t != nullptr && WaitForSingleObject(HandleOf(t), 0) == WAIT_OBJECT_0; }

bool SetThreadPriority(Priority priority) {
    const int level = priority == Priority::kTimeCritical ? THREAD_PRIORITY_TIME_CRITICAL : THREAD_PRIORITY_NORMAL;
    return ::SetThreadPriority(GetCurrentThread(), level) != 0;
}

}  // namespace qel::platform::win32
